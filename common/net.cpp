#include "common/net.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "common/fs.hpp"

namespace drovix {

Socket::~Socket() { close(); }

Socket& Socket::operator=(Socket&& o) noexcept {
  if (this != &o) {
    close();
    fd_ = o.release();
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

namespace {

Error sys_error(std::string_view what) {
  int e = errno;
  ErrorKind kind = (e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT) ? ErrorKind::TimedOut : ErrorKind::Io;
  return Error(kind, errno_text(what));
}

bool parse_port(std::string_view text, int& port) {
  if (text.empty()) return false;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  return ec == std::errc() && p == text.data() + text.size() && port >= 0 && port <= 65535;
}

// Waits for a non-blocking connect to finish within the remaining time.
Status finish_connect(int fd, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return Error(ErrorKind::TimedOut, "connect: timed out");
    pollfd p{fd, POLLOUT, 0};
    int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0) {
      if (errno == EINTR) continue;
      return sys_error("connect");
    }
    if (r == 0) return Error(ErrorKind::TimedOut, "connect: timed out");
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return sys_error("connect");
    if (err != 0) {
      errno = err;
      return sys_error("connect");
    }
    return ok_status();
  }
}

Result<std::string> addr_text(const sockaddr_storage& ss) {
  char buf[INET6_ADDRSTRLEN] = {0};
  if (ss.ss_family == AF_INET) {
    auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    ::inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
  } else if (ss.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
    ::inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
  } else {
    return Error(ErrorKind::Io, "not an IP socket");
  }
  return std::string(buf);
}

}  // namespace

Result<Socket> tcp_connect(const std::string& host, int port, int connect_timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0) return Error(ErrorKind::Io, host + ": " + ::gai_strerror(rc));
  Error last(ErrorKind::Io, host + ": no address");
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    Socket s(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (!s.valid()) {
      last = sys_error("socket");
      continue;
    }
    if (::connect(s.fd(), ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        last = sys_error("connect to " + host + ":" + service);
        continue;
      }
      auto st = finish_connect(s.fd(), connect_timeout_ms);
      if (!st) {
        last = Error(st.error().kind, "connect to " + host + ":" + service + ": " + st.message());
        continue;
      }
    }
    int flags = ::fcntl(s.fd(), F_GETFL);
    ::fcntl(s.fd(), F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    ::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::freeaddrinfo(res);
    return s;
  }
  ::freeaddrinfo(res);
  return last;
}

Result<Socket> tcp_listen(const std::string& addr_port, int backlog) {
  auto colon = addr_port.rfind(':');
  int port = 0;
  if (colon == std::string::npos || !parse_port(std::string_view(addr_port).substr(colon + 1), port))
    return Error(ErrorKind::InvalidData, "invalid listen address: " + addr_port);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  std::string ip = addr_port.substr(0, colon);
  if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1)
    return Error(ErrorKind::InvalidData, "invalid listen address: " + addr_port);
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return sys_error("socket");
  int one = 1;
  if (::setsockopt(s.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return sys_error("SO_REUSEADDR");
  if (::bind(s.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return sys_error("bind " + addr_port);
  if (::listen(s.fd(), backlog) != 0) return sys_error("listen " + addr_port);
  return s;
}

Result<Socket> tcp_accept(const Socket& listener) {
  for (;;) {
    int fd = ::accept4(listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return Socket(fd);
    if (errno == EINTR) continue;
    return sys_error("accept");
  }
}

namespace {
Status set_timeout(const Socket& s, int opt, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  if (::setsockopt(s.fd(), SOL_SOCKET, opt, &tv, sizeof tv) != 0)
    return sys_error(opt == SO_RCVTIMEO ? "SO_RCVTIMEO" : "SO_SNDTIMEO");
  return ok_status();
}
}  // namespace

Status set_recv_timeout(const Socket& s, int ms) { return set_timeout(s, SO_RCVTIMEO, ms); }
Status set_send_timeout(const Socket& s, int ms) { return set_timeout(s, SO_SNDTIMEO, ms); }

Status set_nodelay(const Socket& s) {
  int one = 1;
  if (::setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return sys_error("TCP_NODELAY");
  return ok_status();
}

Result<std::string> peer_ip(const Socket& s) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getpeername(s.fd(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return sys_error("getpeername");
  return addr_text(ss);
}

Result<std::string> local_ip(const Socket& s) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return sys_error("getsockname");
  return addr_text(ss);
}

Result<int> local_port(const Socket& s) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(s.fd(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return sys_error("getsockname");
  if (ss.ss_family == AF_INET) return static_cast<int>(ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port));
  if (ss.ss_family == AF_INET6) return static_cast<int>(ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port));
  return Error(ErrorKind::Io, "not an IP socket");
}

Result<size_t> SocketStream::read_some(char* buf, size_t n) {
  for (;;) {
    ssize_t r = ::recv(fd_, buf, n, 0);
    if (r >= 0) return static_cast<size_t>(r);
    if (errno == EINTR) continue;
    return sys_error("read");
  }
}

Status SocketStream::write_all(std::string_view data) {
  while (!data.empty()) {
    ssize_t r = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR) continue;
      return sys_error("write");
    }
    data.remove_prefix(static_cast<size_t>(r));
  }
  return ok_status();
}

}  // namespace drovix
