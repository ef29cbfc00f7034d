#include "tools/peers/tls_peer_server.hpp"

#include <sys/socket.h>

#include <algorithm>

namespace peers {

drovix::Result<std::unique_ptr<TlsPeerServer>> TlsPeerServer::start(const std::string& addr_port,
                                                                      const std::string& cert_file,
                                                                      const std::string& key_file, int timeout_ms,
                                                                      Session serve) {
  auto ctx = drovix::tls_server_context(cert_file, key_file);
  if (!ctx) return ctx.error();
  auto sock = drovix::tcp_listen(addr_port);
  if (!sock) return sock.error();
  auto port = drovix::local_port(*sock);
  if (!port) return port.error();
  std::unique_ptr<TlsPeerServer> server(new TlsPeerServer());
  server->ctx_ = *ctx;
  server->listener_ = std::move(*sock);
  server->port_ = *port;
  server->timeout_ms_ = timeout_ms;
  server->session_ = std::move(serve);
  server->acceptor_ = std::thread([s = server.get()] { s->accept_loop(); });
  return server;
}

TlsPeerServer::~TlsPeerServer() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
    for (int fd : live_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  ::shutdown(listener_.fd(), SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& t : workers_)
    if (t.joinable()) t.join();
}

void TlsPeerServer::accept_loop() {
  for (;;) {
    auto conn = drovix::tcp_accept(listener_);
    std::lock_guard lock(mu_);
    if (stopping_) return;
    if (!conn) continue;
    live_fds_.push_back(conn->fd());
    workers_.emplace_back([this, s = std::move(*conn)]() mutable { serve(std::move(s)); });
  }
}

void TlsPeerServer::serve(drovix::Socket sock) {
  (void)drovix::set_recv_timeout(sock, timeout_ms_);
  (void)drovix::set_send_timeout(sock, timeout_ms_);
  if (auto tls = drovix::TlsStream::accept(sock, ctx_)) {
    session_(**tls);
  }
  std::lock_guard lock(mu_);
  live_fds_.erase(std::remove(live_fds_.begin(), live_fds_.end(), sock.fd()), live_fds_.end());
}

}  // namespace peers
