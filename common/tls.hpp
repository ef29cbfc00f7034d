#pragma once
// TLS over sockets (OpenSSL). One suite and group set serves both sides:
// TLS 1.3 and 1.2 only; TLS 1.3 AES-256-GCM-SHA384, AES-128-GCM-SHA256,
// CHACHA20-POLY1305-SHA256; TLS 1.2 ECDHE-ECDSA then ECDHE-RSA with
// AES-256-GCM, AES-128-GCM and CHACHA20-POLY1305; groups X25519, P-256,
// P-384. No CBC, no static RSA key exchange.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/net.hpp"
#include "common/result.hpp"
#include "common/stream.hpp"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace drovix {

// One PEM section: its label ("CERTIFICATE", "PRIVATE KEY", ...) and DER.
struct PemSection {
  std::string label;
  std::string der;
};

// Reads PEM sections in order. With skip_malformed, a malformed section
// (missing end line, illegal start, bad base64) is passed over; otherwise
// it ends the reading with an error. Text outside sections is ignored.
Result<std::vector<PemSection>> read_pem_sections(std::string_view text, bool skip_malformed);

// Shared, immutable TLS context.
using TlsContext = std::shared_ptr<SSL_CTX>;

// Server context from a certificate chain (every CERTIFICATE section in
// file order) and the first private key (PKCS#1 RSA, PKCS#8 or SEC1 EC) of
// the key file. Errors carry the failing step's own text.
Result<TlsContext> tls_server_context(const std::string& cert_file, const std::string& key_file);

// Client context trusting the given PEM certificates (unparseable ones are
// passed over); verification of chain and host name is on.
TlsContext tls_client_context(std::string_view trust_pem);

// A TLS session over a socket (not owning the socket). A write to a peer
// that has gone fails with an error; it never raises SIGPIPE.
class TlsStream : public ByteStream {
 public:
  ~TlsStream() override;
  TlsStream(TlsStream&&) = delete;

  // Server side: the handshake runs on the first read.
  static Result<std::unique_ptr<TlsStream>> accept(const Socket& s, const TlsContext& ctx);
  // Client side: handshake now, checking the certificate against host_name
  // (also sent as SNI; an IP address is checked as an IP).
  static Result<std::unique_ptr<TlsStream>> connect(const Socket& s, const TlsContext& ctx,
                                                    const std::string& host_name);

  Result<size_t> read_some(char* buf, size_t n) override;
  Status write_all(std::string_view data) override;
  // Sends close_notify once and flushes.
  Status finish() override;
  // Whether the peer ended with close_notify. A bare TCP end reads as end
  // of stream too, but leaves this false.
  bool peer_closed_cleanly() const { return clean_eof_; }
  SSL* ssl() const { return ssl_; }

 private:
  TlsStream(SSL* ssl) : ssl_(ssl) {}
  // Turns a failed OpenSSL call into an error and marks the session dead.
  Error fail(int ret, const char* what);
  SSL* ssl_ = nullptr;
  bool shutdown_sent_ = false;
  bool clean_eof_ = false;
  bool fatal_ = false;  // after a fatal error nothing more may be sent
};

}  // namespace drovix
