#include "tests/agent/main/tls_peer.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>

namespace agenttest {

namespace {

// Reads one request: the head and a Content-Length body.
std::string read_request(drovix::ByteStream& s) {
  std::string req;
  char buf[4096];
  size_t want = std::string::npos;
  while (req.size() < want) {
    auto r = s.read_some(buf, sizeof buf);
    if (!r || *r == 0) break;
    req.append(buf, *r);
    size_t end = req.find("\r\n\r\n");
    if (end != std::string::npos && want == std::string::npos) {
      size_t len = 0;
      size_t at = req.find("content-length: ");
      if (at != std::string::npos && at < end) len = std::stoul(req.substr(at + 16));
      want = end + 4 + len;
    }
  }
  return req;
}

}  // namespace

TlsPeer::TlsPeer(const std::string& cert_dir, const std::string& addr) {
  auto ctx = drovix::tls_server_context(cert_dir + "/fullchain.pem", cert_dir + "/privkey.pem");
  if (!ctx) ADD_FAILURE() << "server context: " << ctx.message();
  else ctx_ = *ctx;
  auto l = drovix::tcp_listen(addr);
  if (!l) ADD_FAILURE() << "listen: " << l.message();
  else listener_ = std::move(*l);
  thread_ = std::thread([this] { serve(); });
}

TlsPeer::~TlsPeer() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  ::shutdown(listener_.fd(), SHUT_RDWR);
  thread_.join();
}

void TlsPeer::push(TlsReply reply) {
  std::lock_guard lock(mu_);
  replies_.push_back(std::move(reply));
}

std::vector<std::string> TlsPeer::requests() {
  std::lock_guard lock(mu_);
  return requests_;
}

void TlsPeer::serve() {
  for (;;) {
    auto sock = drovix::tcp_accept(listener_);
    {
      std::lock_guard lock(mu_);
      if (stopping_) return;
    }
    if (!sock) return;
    auto tls = drovix::TlsStream::accept(*sock, ctx_);
    if (!tls) continue;
    std::string req = read_request(**tls);
    TlsReply reply;
    {
      std::lock_guard lock(mu_);
      requests_.push_back(req);
      if (next_ < replies_.size()) reply = replies_[next_++];
    }
    if (reply.stall) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      continue;
    }
    (void)(*tls)->write_all(reply.bytes);
    if (reply.close_notify) (void)(*tls)->finish();
    // Leaving scope closes the socket; without finish() the peer sees a
    // bare end of the TCP stream.
  }
}

}  // namespace agenttest
