#include "agent/src/main/trust.hpp"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>

#include "agent/src/main/certs_files.hpp"
#include "common/fs.hpp"
#include "common/roots.hpp"

namespace drovix::agent {

namespace {

std::string der_to_pem(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (!cert) return {};
  std::string out;
  if (p == reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio && PEM_write_bio_X509(bio, cert) == 1) {
      char* data = nullptr;
      long len = BIO_get_mem_data(bio, &data);
      out.assign(data, static_cast<size_t>(len));
    }
    BIO_free(bio);
  }
  X509_free(cert);
  return out;
}

TlsContext make_roots() {
  std::string pem(public_roots_pem());
  auto file = read_file(certs_file("ca.pem"));
  if (file) {
    ExtraRoots extra = readable_certificates(*file);
    pem += "\n";
    pem += extra.pem;
    std::printf("trusting %zu CA certificate(s) from /certs/ca.pem\n", extra.count);
    std::fflush(stdout);
  }
  return tls_client_context(pem);
}

}  // namespace

ExtraRoots readable_certificates(std::string_view pem_text) {
  ExtraRoots out;
  auto sections = read_pem_sections(pem_text, true);
  if (!sections) return out;
  for (const auto& s : *sections) {
    if (s.label != "CERTIFICATE") continue;
    std::string pem = der_to_pem(s.der);
    if (pem.empty()) continue;
    out.pem += pem;
    ++out.count;
  }
  return out;
}

const TlsContext& ca_roots() {
  static const TlsContext ctx = make_roots();
  return ctx;
}

}  // namespace drovix::agent
