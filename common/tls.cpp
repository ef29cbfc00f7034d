#include "common/tls.hpp"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

#include "common/fs.hpp"

namespace drovix {

namespace {

constexpr const char* kTls13Suites = "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";

// The reasons on OpenSSL's error queue, oldest first, joined; clears it.
std::string openssl_errors(const char* fallback = "TLS failure") {
  std::string out;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    const char* r = ERR_reason_error_string(e);
    std::string reason = r ? r : ("error " + std::to_string(ERR_GET_REASON(e)));
    if (out.find(reason) != std::string::npos) continue;
    if (!out.empty()) out += ": ";
    out += reason;
  }
  return out.empty() ? std::string(fallback) : out;
}

// Writes to a peer that has gone must fail with EPIPE, not kill the
// process: SIGPIPE is held back on this thread for the duration of one TLS
// call, and one raised by that call is taken off again.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &s, &old_);
    was_blocked_ = sigismember(&old_, SIGPIPE) == 1;
  }
  ~SigpipeGuard() {
    if (was_blocked_) return;
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      sigset_t s;
      sigemptyset(&s);
      sigaddset(&s, SIGPIPE);
      timespec zero{0, 0};
      int saved = errno;
      while (sigtimedwait(&s, nullptr, &zero) < 0 && errno == EINTR) {
      }
      errno = saved;
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t old_;
  bool was_blocked_ = false;
};

bool apply_suites(SSL_CTX* ctx) {
  return SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
         SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
         SSL_CTX_set_ciphersuites(ctx, kTls13Suites) == 1 && SSL_CTX_set_cipher_list(ctx, kTls12Suites) == 1 &&
         SSL_CTX_set1_groups_list(ctx, kGroups) == 1 &&
         (SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION), true);
}

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

X509Ptr parse_cert(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  return X509Ptr(x);
}

bool is_private_key_label(const std::string& label) {
  return label == "PRIVATE KEY" || label == "RSA PRIVATE KEY" || label == "EC PRIVATE KEY";
}

PkeyPtr parse_private_key(const PemSection& s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.der.data());
  long len = static_cast<long>(s.der.size());
  if (s.label == "PRIVATE KEY") {
    PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, len);
    if (!info) return nullptr;
    EVP_PKEY* k = EVP_PKCS82PKEY(info);
    PKCS8_PRIV_KEY_INFO_free(info);
    return PkeyPtr(k);
  }
  int type = s.label == "RSA PRIVATE KEY" ? EVP_PKEY_RSA : EVP_PKEY_EC;
  return PkeyPtr(d2i_PrivateKey(type, nullptr, &p, len));
}

bool is_ip_literal(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

Result<std::vector<PemSection>> read_pem_sections(std::string_view text, bool skip_malformed) {
  std::vector<PemSection> out;
  if (text.empty()) return out;
  BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  if (!bio) return Error(ErrorKind::Other, openssl_errors("out of memory"));
  ERR_clear_error();
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long len = 0;
    int ok = PEM_read_bio_ex(bio, &name, &header, &data, &len, PEM_FLAG_EAY_COMPATIBLE);
    if (ok == 1) {
      out.push_back(PemSection{name, std::string(reinterpret_cast<char*>(data), static_cast<size_t>(len))});
      OPENSSL_free(name);
      OPENSSL_free(header);
      OPENSSL_free(data);
      continue;
    }
    unsigned long e = ERR_peek_last_error();
    bool at_end = ERR_GET_LIB(e) == ERR_LIB_PEM && ERR_GET_REASON(e) == PEM_R_NO_START_LINE;
    if (at_end) {
      ERR_clear_error();
      break;
    }
    std::string why = openssl_errors("malformed PEM section");
    if (!skip_malformed) {
      BIO_free(bio);
      return Error(ErrorKind::InvalidData, "PEM: " + why);
    }
    if (BIO_eof(bio)) break;
  }
  BIO_free(bio);
  return out;
}

Result<TlsContext> tls_server_context(const std::string& cert_file, const std::string& key_file) {
  auto cert_text = read_file(cert_file);
  if (!cert_text) return cert_text.error();
  auto cert_sections = read_pem_sections(*cert_text, false);
  if (!cert_sections) return Error(cert_sections.error().kind, cert_file + ": " + cert_sections.message());
  std::vector<X509Ptr> chain;
  for (const auto& s : *cert_sections) {
    if (s.label != "CERTIFICATE") continue;
    X509Ptr x = parse_cert(s.der);
    if (!x) return Error(ErrorKind::Tls, cert_file + ": " + openssl_errors("unreadable certificate"));
    chain.push_back(std::move(x));
  }

  auto key_text = read_file(key_file);
  if (!key_text) return key_text.error();
  auto key_sections = read_pem_sections(*key_text, false);
  if (!key_sections) return Error(key_sections.error().kind, key_file + ": " + key_sections.message());
  PkeyPtr key;
  for (const auto& s : *key_sections) {
    if (!is_private_key_label(s.label)) continue;
    key = parse_private_key(s);
    if (!key) return Error(ErrorKind::Tls, key_file + ": " + openssl_errors("unreadable private key"));
    break;
  }
  if (!key) return Error(ErrorKind::InvalidData, key_file + ": no private key found");
  if (chain.empty()) return Error(ErrorKind::Tls, cert_file + ": no certificates found (empty chain)");

  ERR_clear_error();
  SSL_CTX* raw = SSL_CTX_new(TLS_server_method());
  if (!raw) return Error(ErrorKind::Tls, openssl_errors());
  TlsContext ctx(raw, SSL_CTX_free);
  if (!apply_suites(raw)) return Error(ErrorKind::Tls, openssl_errors());
  SSL_CTX_set_read_ahead(raw, 1);  // one read per burst rather than two per record
  if (SSL_CTX_use_certificate(raw, chain[0].get()) != 1)
    return Error(ErrorKind::Tls, cert_file + ": " + openssl_errors());
  for (size_t i = 1; i < chain.size(); ++i) {
    if (SSL_CTX_add1_chain_cert(raw, chain[i].get()) != 1)
      return Error(ErrorKind::Tls, cert_file + ": " + openssl_errors());
  }
  if (SSL_CTX_use_PrivateKey(raw, key.get()) != 1 || SSL_CTX_check_private_key(raw) != 1)
    return Error(ErrorKind::Tls, key_file + ": " + openssl_errors("key does not match the certificate"));
  return ctx;
}

TlsContext tls_client_context(std::string_view trust_pem) {
  SSL_CTX* raw = SSL_CTX_new(TLS_client_method());
  if (!raw) return nullptr;
  TlsContext ctx(raw, SSL_CTX_free);
  apply_suites(raw);
  SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, nullptr);
  X509_STORE* store = SSL_CTX_get_cert_store(raw);
  auto sections = read_pem_sections(trust_pem, true);
  if (sections) {
    for (const auto& s : *sections) {
      if (s.label != "CERTIFICATE") continue;
      X509Ptr x = parse_cert(s.der);
      if (x) X509_STORE_add_cert(store, x.get());
    }
  }
  ERR_clear_error();
  return ctx;
}

TlsStream::~TlsStream() {
  if (ssl_) SSL_free(ssl_);
}

Error TlsStream::fail(int ret, const char* what) {
  int err = SSL_get_error(ssl_, ret);
  int saved_errno = errno;
  switch (err) {
    case SSL_ERROR_SYSCALL: {
      fatal_ = true;
      std::string q = openssl_errors("");
      if (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK)
        return Error(ErrorKind::TimedOut, std::string(what) + ": timed out");
      if (saved_errno != 0) {
        errno = saved_errno;
        return Error(ErrorKind::Io, errno_text(what));
      }
      return Error(ErrorKind::Io, std::string(what) + ": " + (q.empty() ? "connection closed" : q));
    }
    case SSL_ERROR_SSL:
      fatal_ = true;
      return Error(ErrorKind::Tls, std::string(what) + ": " + openssl_errors());
    default:
      fatal_ = true;
      return Error(ErrorKind::Tls, std::string(what) + ": " + openssl_errors("unexpected TLS state"));
  }
}

Result<std::unique_ptr<TlsStream>> TlsStream::accept(const Socket& s, const TlsContext& ctx) {
  if (!ctx) return Error(ErrorKind::Tls, "no TLS configuration");
  ERR_clear_error();
  SSL* ssl = SSL_new(ctx.get());
  if (!ssl) return Error(ErrorKind::Tls, openssl_errors());
  std::unique_ptr<TlsStream> t(new TlsStream(ssl));
  if (SSL_set_fd(ssl, s.fd()) != 1) return Error(ErrorKind::Tls, openssl_errors());
  SSL_set_accept_state(ssl);
  return t;
}

Result<std::unique_ptr<TlsStream>> TlsStream::connect(const Socket& s, const TlsContext& ctx,
                                                       const std::string& host_name) {
  if (!ctx) return Error(ErrorKind::Tls, "no TLS configuration");
  ERR_clear_error();
  SSL* ssl = SSL_new(ctx.get());
  if (!ssl) return Error(ErrorKind::Tls, openssl_errors());
  std::unique_ptr<TlsStream> t(new TlsStream(ssl));
  if (SSL_set_fd(ssl, s.fd()) != 1) return Error(ErrorKind::Tls, openssl_errors());
  if (is_ip_literal(host_name)) {
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host_name.c_str()) != 1)
      return Error(ErrorKind::Tls, "bad IP address: " + host_name);
  } else {
    if (SSL_set_tlsext_host_name(ssl, host_name.c_str()) != 1 || SSL_set1_host(ssl, host_name.c_str()) != 1)
      return Error(ErrorKind::Tls, "bad host name: " + host_name);
  }
  SigpipeGuard guard;
  int r = SSL_connect(ssl);
  if (r != 1) {
    long vr = SSL_get_verify_result(ssl);
    Error e = t->fail(r, "TLS handshake");
    if (vr != X509_V_OK)
      e.message = "TLS handshake: certificate verify failed: " + std::string(X509_verify_cert_error_string(vr));
    return e;
  }
  return t;
}

Result<size_t> TlsStream::read_some(char* buf, size_t n) {
  if (fatal_) return Error(ErrorKind::Tls, "read: TLS session failed earlier");
  if (clean_eof_ || n == 0) return size_t{0};
  ERR_clear_error();
  SigpipeGuard guard;
  size_t got = 0;
  errno = 0;
  int r = SSL_read_ex(ssl_, buf, n, &got);
  if (r == 1) return got;
  int err = SSL_get_error(ssl_, r);
  if (err == SSL_ERROR_ZERO_RETURN) {
    clean_eof_ = true;
    ERR_clear_error();
    return size_t{0};
  }
  if (err == SSL_ERROR_SSL) {
    unsigned long e = ERR_peek_error();
    if (ERR_GET_LIB(e) == ERR_LIB_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      // The peer closed the connection without close_notify: end of stream,
      // but the session cannot carry anything more.
      ERR_clear_error();
      fatal_ = true;
      return size_t{0};
    }
  }
  return fail(r, "read");
}

Status TlsStream::write_all(std::string_view data) {
  if (fatal_) return Error(ErrorKind::Tls, "write: TLS session failed earlier");
  SigpipeGuard guard;
  while (!data.empty()) {
    ERR_clear_error();
    errno = 0;
    size_t written = 0;
    int r = SSL_write_ex(ssl_, data.data(), data.size(), &written);
    if (r != 1) return fail(r, "write");
    data.remove_prefix(written);
  }
  return ok_status();
}

Status TlsStream::finish() {
  if (shutdown_sent_) return ok_status();
  if (fatal_) return Error(ErrorKind::Tls, "close_notify: TLS session failed earlier");
  ERR_clear_error();
  SigpipeGuard guard;
  errno = 0;
  int r = SSL_shutdown(ssl_);
  if (r < 0) return fail(r, "close_notify");
  shutdown_sent_ = true;
  return ok_status();
}

}  // namespace drovix
