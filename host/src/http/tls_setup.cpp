#include "host/src/http/tls_setup.hpp"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <mutex>

#include "common/fs.hpp"
#include "common/roots.hpp"
#include "host/src/main/config.hpp"

namespace drovix::host {

namespace {

// The certificates of a PEM file that parse, re-encoded as PEM; a missing
// file, malformed sections and unparseable certificates add nothing.
std::string parseable_certs_pem(const std::string& path) {
  std::string out;
  auto text = read_file(path);
  if (!text) return out;
  auto sections = read_pem_sections(*text, /*skip_malformed=*/true);
  if (!sections) return out;
  for (const auto& s : *sections) {
    if (s.label != "CERTIFICATE") continue;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.der.data());
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(s.der.size()));
    if (!x) continue;
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio && PEM_write_bio_X509(bio, x) == 1) {
      char* data = nullptr;
      long len = BIO_get_mem_data(bio, &data);
      out.append(data, static_cast<size_t>(len));
    }
    BIO_free(bio);
    X509_free(x);
  }
  return out;
}

}  // namespace

Result<TlsContext> tls_server_config(const std::string& cert_file, const std::string& key_file) {
  return tls_server_context(cert_file, key_file);
}

std::string tls_client_roots_from(const std::string& certs_dir) {
  std::string pem(public_roots_pem());
  if (!pem.empty() && pem.back() != '\n') pem += '\n';
  pem += parseable_certs_pem(certs_dir + "/ca.pem");
  return pem;
}

std::string tls_client_roots() { return tls_client_roots_from(host_config().certs); }

std::string tls_client_roots_with(const std::string& extra_pem_file) {
  return tls_client_roots() + parseable_certs_pem(extra_pem_file);
}

const TlsContext& outbound_tls_config() {
  static const TlsContext ctx = tls_client_context(tls_client_roots());
  return ctx;
}

}  // namespace drovix::host
