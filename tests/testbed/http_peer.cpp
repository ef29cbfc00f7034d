#include "tests/testbed/http_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace testbed {

namespace {

bool iequal(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

const char* standard_reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

bool send_all(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Reads from fd into buf until it holds at least n bytes; false at end of
// stream or error.
bool fill(int fd, std::string& buf, size_t n) {
  char tmp[16384];
  while (buf.size() < n) {
    ssize_t r = ::recv(fd, tmp, sizeof tmp, 0);
    if (r <= 0) return false;
    buf.append(tmp, static_cast<size_t>(r));
  }
  return true;
}

// Reads until buf holds needle; returns its position or npos at end of stream.
size_t fill_until(int fd, std::string& buf, const std::string& needle, size_t from = 0) {
  char tmp[16384];
  for (;;) {
    size_t pos = buf.find(needle, from);
    if (pos != std::string::npos) return pos;
    ssize_t r = ::recv(fd, tmp, sizeof tmp, 0);
    if (r <= 0) return std::string::npos;
    buf.append(tmp, static_cast<size_t>(r));
  }
}

}  // namespace

std::optional<std::string> PeerRequest::header(const std::string& name) const {
  for (const auto& [n, v] : headers)
    if (iequal(n, name)) return v;
  return std::nullopt;
}

HttpPeer::HttpPeer(Script script) : script_(std::move(script)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("http peer: socket failed");
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_fd_, 64) != 0)
    throw std::runtime_error("http peer: bind or listen failed");
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

HttpPeer::~HttpPeer() {
  stopping_ = true;
  ::shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listen_fd_);
  {
    std::lock_guard lock(mu_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : threads_) t.join();
}

std::string HttpPeer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<PeerRequest> HttpPeer::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

bool HttpPeer::wait_for_requests(size_t n, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return requests_.size() >= n; });
}

void HttpPeer::accept_loop() {
  for (;;) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (stopping_) return;
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    int index = ++accepted_;
    std::lock_guard lock(mu_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    open_fds_.push_back(fd);
    threads_.emplace_back([this, fd, index] { serve(fd, index); });
  }
}

void HttpPeer::serve(int fd, int index) {
  std::string buf;
  for (;;) {
    size_t end = fill_until(fd, buf, "\r\n\r\n");
    if (end == std::string::npos) break;
    std::string head = buf.substr(0, end);
    buf.erase(0, end + 4);

    PeerRequest req;
    req.connection = index;
    size_t line_end = head.find("\r\n");
    std::string request_line = head.substr(0, line_end);
    size_t sp1 = request_line.find(' ');
    size_t sp2 = sp1 == std::string::npos ? std::string::npos : request_line.find(' ', sp1 + 1);
    req.method = request_line.substr(0, sp1);
    if (sp1 != std::string::npos) req.target = request_line.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
    size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
    while (pos < head.size()) {
      size_t e = head.find("\r\n", pos);
      if (e == std::string::npos) e = head.size();
      std::string line = head.substr(pos, e - pos);
      pos = e + 2;
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      req.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }

    bool ok = true;
    if (auto te = req.header("transfer-encoding"); te && iequal(trim(*te), "chunked")) {
      for (;;) {
        size_t le = fill_until(fd, buf, "\r\n");
        if (le == std::string::npos) { ok = false; break; }
        size_t size = std::strtoul(buf.substr(0, le).c_str(), nullptr, 16);
        buf.erase(0, le + 2);
        if (size == 0) {
          // Trailers up to the blank line.
          size_t te_end = fill_until(fd, buf, "\r\n");
          while (te_end != std::string::npos && te_end != 0) {
            buf.erase(0, te_end + 2);
            te_end = fill_until(fd, buf, "\r\n");
          }
          if (te_end == std::string::npos) ok = false; else buf.erase(0, 2);
          break;
        }
        if (!fill(fd, buf, size + 2)) { ok = false; break; }
        req.body.append(buf, 0, size);
        buf.erase(0, size + 2);
      }
    } else if (auto cl = req.header("content-length")) {
      size_t n = std::strtoull(cl->c_str(), nullptr, 10);
      if (!fill(fd, buf, n)) ok = false;
      req.body = buf.substr(0, std::min(n, buf.size()));
      buf.erase(0, req.body.size());
    }

    {
      std::lock_guard lock(mu_);
      requests_.push_back(req);
    }
    cv_.notify_all();
    if (!ok) break;

    PeerReply reply = script_ ? script_(req) : PeerReply{};
    if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
    if (reply.reset) {
      linger hard{1, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      break;
    }
    if (!reply.raw.empty()) {
      send_all(fd, reply.raw);
      break;
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                      (reply.reason.empty() ? standard_reason(reply.status) : reply.reason) + "\r\n";
    bool framed = false;
    for (const auto& [n, v] : reply.headers) {
      out += n + ": " + v + "\r\n";
      if (iequal(n, "content-length") || iequal(n, "transfer-encoding")) framed = true;
    }
    if (!framed) out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    if (reply.close) out += "Connection: close\r\n";
    out += "\r\n";
    if (req.method != "HEAD") out += reply.body;
    if (!send_all(fd, out) || reply.close) break;
  }
  {
    std::lock_guard lock(mu_);
    std::erase(open_fds_, fd);
  }
  ::close(fd);
}

}  // namespace testbed
