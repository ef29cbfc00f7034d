#include "host/src/http/listener.hpp"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <pthread.h>

#include <memory>
#include <thread>
#include <type_traits>

#include "host/src/relay/relay.hpp"

namespace drovix::host {

namespace {

constexpr int kRecvTimeoutMs = 30000;
constexpr int kSendTimeoutMs = 60000;
constexpr int kStartTries = 10;
// After a reply, bytes the client still sends (an unread oversize body, a
// second request) are read away for this long before the socket closes, so
// that the close does not reset the connection under the reply.
constexpr int kLingerMs = 1000;
constexpr size_t kLingerBytes = 1 << 20;

bool is_relay_path(const std::string& path) { return path.size() >= 7 && path.compare(0, 7, "/relay/") == 0; }

// Canonical text of an IPv4 address, or the text unchanged when it is none.
std::string canonical_ipv4(const std::string& ip) {
  in_addr a{};
  if (::inet_pton(AF_INET, ip.c_str(), &a) != 1) return ip;
  char buf[INET_ADDRSTRLEN] = {0};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

bool has_unread_input(const Socket& sock) {
  int n = 0;
  return ::ioctl(sock.fd(), FIONREAD, &n) == 0 && n > 0;
}

void linger_close(const Socket& sock) {
  ::shutdown(sock.fd(), SHUT_WR);
  (void)set_recv_timeout(sock, kLingerMs);
  char buf[16384];
  size_t total = 0;
  while (total < kLingerBytes) {
    ssize_t r = ::recv(sock.fd(), buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    total += static_cast<size_t>(r);
  }
}

// Starts body on a detached thread; false when the system refuses a thread.
// Connection threads get a 1 MiB stack rather than the default 8 MiB: the C
// library keeps recently freed stacks for reuse only up to a fixed total, and
// with small stacks a busy listener reuses them instead of mapping and
// unmapping 8 MiB for every connection.
template <class F>
bool start_detached(F&& body) {
  using Body = std::decay_t<F>;
  auto* heap = new Body(std::forward<F>(body));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 1 << 20);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t tid;
  int rc = pthread_create(
      &tid, &attr,
      [](void* arg) -> void* {
        std::unique_ptr<Body> b(static_cast<Body*>(arg));
        (*b)();
        return nullptr;
      },
      heap);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete heap;
    return false;
  }
  return true;
}

// A failed accept is retried at once, except when the process or system is
// out of descriptors or memory: then a short pause keeps the loop from
// spinning until connections close.
void pause_after_accept_failure(const Error& e) {
  int err = errno;
  if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void start_connection(Socket sock, const TlsContext& tls, size_t max_body,
                      const std::shared_ptr<const Handler>& handler) {
  // If no thread can be had, the socket closes with the lambda that failed.
  start_detached([s = std::move(sock), tls, max_body, handler]() mutable {
    host_connection_thread(std::move(s), std::move(tls), max_body, std::move(handler));
  });
}

// A handler that throws must not take the daemon down with it: the client
// gets a 500 and every other connection carries on.
HttpResponse call_handler(const Handler& handler, const HttpRequest& req) {
  try {
    return handler(req);
  } catch (const std::exception& e) {
    std::fprintf(stdout, "[drovix-host] request handler failed: %s\n", e.what());
  } catch (...) {
    std::fputs("[drovix-host] request handler failed\n", stdout);
  }
  return json_response(500, OJson{{"error", "internal error"}});
}

}  // namespace

void start_listener_with_retries(const std::string& name, const std::function<Status()>& start,
                                 std::chrono::milliseconds pause) {
  std::string last;
  for (int attempt = 1; attempt <= kStartTries; ++attempt) {
    auto st = start();
    if (st) return;
    last = st.message();
    if (attempt < kStartTries) std::this_thread::sleep_for(pause);
  }
  std::fprintf(stderr, "[drovix-host] %s: %s\n", name.c_str(), last.c_str());
  std::fflush(stderr);
  std::exit(1);
}

Status listen_shared_port(const TlsContext& tls, const std::string& gateway_ip, const HttpService& gateway,
                          const HttpService& console) {
  auto sock = tcp_listen("0.0.0.0:443");
  if (!sock) return sock.error();
  std::string gw = canonical_ipv4(gateway_ip);
  bool started = start_detached([s = std::move(*sock), tls, gw, gateway, console]() mutable {
    shared_accept_loop(std::move(s), std::move(tls), std::move(gw), std::move(gateway), std::move(console));
  });
  if (!started) return Error(ErrorKind::Io, "cannot start the accept thread");
  return ok_status();
}

Status listen_gateway(const std::string& gateway_ip, const TlsContext& tls, const HttpService& gateway) {
  return spawn_listener(gateway_ip + ":443", tls, gateway.max_body, gateway.handler);
}

Status listen_console(uint16_t port, const TlsContext& tls, const HttpService& console) {
  return spawn_listener("0.0.0.0:" + std::to_string(port), tls, console.max_body, console.handler);
}

Status spawn_listener(const std::string& addr_port, const TlsContext& tls, size_t max_body,
                      std::shared_ptr<const Handler> handler) {
  auto sock = tcp_listen(addr_port);
  if (!sock) return sock.error();
  bool started = start_detached([s = std::move(*sock), tls, max_body, handler]() mutable {
    accept_loop(std::move(s), std::move(tls), max_body, std::move(handler));
  });
  if (!started) return Error(ErrorKind::Io, "cannot start the accept thread for " + addr_port);
  return ok_status();
}

void accept_loop(Socket listener, TlsContext tls, size_t max_body, std::shared_ptr<const Handler> handler) {
  for (;;) {
    auto conn = tcp_accept(listener);
    if (!conn) {
      pause_after_accept_failure(conn.error());
      continue;
    }
    start_connection(std::move(*conn), tls, max_body, handler);
  }
}

void shared_accept_loop(Socket listener, TlsContext tls, std::string gateway_ip, HttpService gateway,
                        HttpService console) {
  for (;;) {
    auto conn = tcp_accept(listener);
    if (!conn) {
      pause_after_accept_failure(conn.error());
      continue;
    }
    auto local = local_ip(*conn);
    const HttpService& svc = (local && *local == gateway_ip) ? gateway : console;
    start_connection(std::move(*conn), tls, svc.max_body, svc.handler);
  }
}

void host_connection_thread(Socket sock, TlsContext tls, size_t max_body, std::shared_ptr<const Handler> handler) {
  if (handler) (void)serve_connection(sock, tls, max_body, *handler);
}

Status serve_connection(const Socket& sock, const TlsContext& tls, size_t max_body, const Handler& handler) {
  auto peer = peer_ip(sock);
  if (!peer) return peer.error();
  auto local = local_ip(sock);
  if (!local) return local.error();
  bool gateway_conn = *local == kGatewayIp;

  if (auto st = set_recv_timeout(sock, kRecvTimeoutMs); !st) return st;
  if (auto st = set_send_timeout(sock, kSendTimeoutMs); !st) return st;
  (void)set_nodelay(sock);

  auto tls_stream = TlsStream::accept(sock, tls);
  if (!tls_stream) return tls_stream.error();
  TlsStream& conn = **tls_stream;

  auto req = read_request(conn, *peer, max_body);
  if (!req) {
    const Error& e = req.error();
    Status st = e;
    if (e.kind == ErrorKind::InvalidData) {
      st = write_response(conn, json_response(413, OJson{{"error", "request too large"}}));
    } else if (e.kind == ErrorKind::UnexpectedEof && e.message == kBodyIncomplete) {
      st = write_response(conn, json_response(400, OJson{{"error", "request body incomplete"}}));
    } else {
      return st;
    }
    if (st) linger_close(sock);
    return st;
  }

  if (auto st = set_recv_timeout(sock, 0); !st) return st;

  Status outcome;
  if (gateway_conn && is_relay_path(req->path)) {
    outcome = relay_request(*req, conn);
    if (outcome) outcome = conn.finish();
  } else {
    outcome = write_response(conn, call_handler(handler, *req));
  }
  if (outcome && has_unread_input(sock)) linger_close(sock);
  return outcome;
}

}  // namespace drovix::host
