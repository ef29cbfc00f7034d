#pragma once
// TCP sockets with explicit time-outs (IPv4 and IPv6).
#include <string>

#include "common/result.hpp"
#include "common/stream.hpp"

namespace drovix {

// Owns a socket descriptor; closes it when destroyed.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& o) noexcept : fd_(o.release()) {}
  Socket& operator=(Socket&& o) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void close();

 private:
  int fd_ = -1;
};

// Connects to host:port (numeric address or name) within connect_timeout_ms.
Result<Socket> tcp_connect(const std::string& host, int port, int connect_timeout_ms);
// Binds and listens ("0.0.0.0:443", "10.0.9.1:443", "127.0.0.1:0"); sets
// SO_REUSEADDR. IPv4 only.
Result<Socket> tcp_listen(const std::string& addr_port, int backlog = 128);
// Accepts one connection (blocking).
Result<Socket> tcp_accept(const Socket& listener);

// Per-wait socket time-outs; 0 removes the time-out.
Status set_recv_timeout(const Socket& s, int ms);
Status set_send_timeout(const Socket& s, int ms);
// Sends small writes at once (TCP_NODELAY): a reply and the TLS close_notify
// after it must not wait for the peer's delayed acknowledgement.
Status set_nodelay(const Socket& s);

// IP address of either end, without the port ("10.0.9.11", "::1").
Result<std::string> peer_ip(const Socket& s);
Result<std::string> local_ip(const Socket& s);
// The port a socket is bound to.
Result<int> local_port(const Socket& s);

// Plain TCP stream over a socket (not owning it).
class SocketStream : public ByteStream {
 public:
  explicit SocketStream(const Socket& s) : fd_(s.fd()) {}
  Result<size_t> read_some(char* buf, size_t n) override;
  Status write_all(std::string_view data) override;

 private:
  int fd_;
};

}  // namespace drovix
