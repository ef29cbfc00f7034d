#pragma once
// The agent's HTTP client towards the host: one TLS connection to a
// service's address on port 443 per exchange, one hand-written HTTP/1.1
// request with "connection: close", and the reply read back whole.
#include <cstdint>
#include <memory>
#include <string>

#include "agent/src/main/keyring.hpp"
#include "common/json.hpp"
#include "common/net.hpp"
#include "common/result.hpp"
#include "common/stream.hpp"
#include "common/tls.hpp"

namespace drovix::agent {

// A TLS client connection to one service, owned by the caller for one
// exchange.
class ServiceConnection : public ByteStream {
 public:
  ServiceConnection(Socket sock, std::unique_ptr<TlsStream> tls) : sock_(std::move(sock)), tls_(std::move(tls)) {}
  Result<size_t> read_some(char* buf, size_t n) override { return tls_->read_some(buf, n); }
  Status write_all(std::string_view data) override { return tls_->write_all(data); }
  Status finish() override { return tls_->finish(); }

 private:
  Socket sock_;  // declared first: the TLS session goes before its socket
  std::unique_ptr<TlsStream> tls_;
};

struct HttpReply {
  uint16_t status = 0;
  std::string location;
  std::string body;
};

// Time limits of every outbound socket: a bounded connect, and an idle
// read (or write) generous enough for a model that streams slowly.
struct SocketLimits {
  int connect_ms = 30'000;
  int idle_ms = 300'000;
};

// TLS (1.3 or 1.2) to ip:443, the certificate checked against host and the
// agent's trust anchors (ca_roots). Errors: "bad ip: {}", "connect: {}",
// "tls cfg: {}", "sni: {}", "conn: {}".
Result<std::unique_ptr<ServiceConnection>> gateway_connect(const std::string& ip, const std::string& host);
// The same with the port, trust anchors and limits given.
Result<std::unique_ptr<ServiceConnection>> connect_service(const std::string& ip, int port, const std::string& host,
                                                           const TlsContext& trust, SocketLimits limits);

// Reads the reply on a connection and consumes it.
Result<HttpReply> http_exchange(std::unique_ptr<ServiceConnection> conn);
// Reads one reply from a stream: the head, then the body up to its
// Content-Length, through its last chunk, or else to the end of the
// stream. A reply cut short is an error ("read body: {}").
Result<HttpReply> read_reply(ByteStream& in);

// POST /v1/agents/{op} on the "statesink" service: the reply's JSON, or the
// reply's "error" string, "gateway HTTP {}" for another status than 2xx,
// "the gateway is not reachable" without the service.
Result<SJson> post_agents_op(const Keyring& kr, const std::string& op, const SJson& body);

}  // namespace drovix::agent
