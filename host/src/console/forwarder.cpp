#include "host/src/console/forwarder.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace drovix::host {

namespace {

using StopFlag = std::shared_ptr<std::atomic<bool>>;

struct ForwarderTable {
  std::mutex mu;
  std::map<uint16_t, StopFlag> entries;
};

ForwarderTable& table() {
  static ForwarderTable t;
  return t;
}

void log_line(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// "a.b.c.d:port" as an IPv4 socket address.
bool parse_target(const std::string& target, sockaddr_in& out) {
  size_t colon = target.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = target.substr(0, colon), port = target.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  unsigned long p = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    p = p * 10 + static_cast<unsigned long>(c - '0');
  }
  if (p > 65535) return false;
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<uint16_t>(p));
  return ::inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
}

// Connects within timeout_ms; -1 on failure.
int connect_with_timeout(const sockaddr_in& addr, int timeout_ms) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = ::poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    int err = 0;
    socklen_t len = sizeof err;
    if (ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) rc = 0;
  }
  if (rc != 0) {
    ::close(fd);
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// Copies until the source ends, then half-closes the destination.
void pump_bytes(int from, int to) {
  std::vector<char> buf(65536);
  while (true) {
    ssize_t n = ::recv(from, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ssize_t off = 0;
    bool failed = false;
    while (off < n) {
      ssize_t w = ::send(to, buf.data() + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        failed = true;
        break;
      }
      off += w;
    }
    if (failed) break;
  }
  ::shutdown(to, SHUT_WR);
}

void forward_connection(int client, std::string target) {
  sockaddr_in addr{};
  if (!parse_target(target, addr)) {
    ::close(client);
    return;
  }
  int upstream = connect_with_timeout(addr, 10000);
  if (upstream < 0) {
    ::close(client);
    return;
  }
  int client_dup = ::fcntl(client, F_DUPFD_CLOEXEC, 0);
  int upstream_dup = client_dup < 0 ? -1 : ::fcntl(upstream, F_DUPFD_CLOEXEC, 0);
  if (client_dup < 0 || upstream_dup < 0) {
    if (client_dup >= 0) ::close(client_dup);
    ::close(upstream);
    ::close(client);
    return;
  }
  try {
    std::thread pump([client_dup, upstream_dup] {
      pump_bytes(client_dup, upstream_dup);  // browser to VM
      ::close(client_dup);
      ::close(upstream_dup);
    });
    pump_bytes(upstream, client);  // VM to browser
    pump.join();
  } catch (const std::system_error&) {
    // No thread for the second direction: give the connection up.
    ::close(client_dup);
    ::close(upstream_dup);
  }
  ::close(upstream);
  ::close(client);
}

void forwarder_accept_loop(int listener, std::string target, StopFlag stop) {
  while (true) {
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (stop->load()) {
      if (client >= 0) ::close(client);
      ::close(listener);
      return;
    }
    if (client < 0) continue;
    try {
      std::thread(forward_connection, client, target).detach();
    } catch (const std::system_error&) {
      ::close(client);
    }
  }
}

}  // namespace

void start_vm_forwarder(uint16_t port, std::string vm_address) {
  ForwarderTable& t = table();
  std::lock_guard<std::mutex> lock(t.mu);
  if (t.entries.count(port)) return;

  const std::string p = std::to_string(port);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0) {
    std::string why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    log_line("[drovix-host] forwarder :" + p + " failed: " + why + "\n");
    return;
  }

  auto stop = std::make_shared<std::atomic<bool>>(false);
  std::string target = vm_address + ":8443";
  try {
    std::thread(forwarder_accept_loop, fd, target, stop).detach();
  } catch (const std::system_error& e) {
    ::close(fd);
    log_line("[drovix-host] forwarder :" + p + " failed: " + e.what() + "\n");
    return;
  }
  t.entries[port] = stop;
  log_line("[drovix-host] forwarding :" + p + " -> " + vm_address + ":8443\n");
}

void stop_vm_forwarder(uint16_t port) {
  ForwarderTable& t = table();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.entries.find(port);
  if (it == t.entries.end()) return;
  StopFlag stop = it->second;
  t.entries.erase(it);
  stop->store(true);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = connect_with_timeout(addr, 1000);
  if (fd >= 0) ::close(fd);
}

bool vm_forwarder_running(uint16_t port) {
  ForwarderTable& t = table();
  std::lock_guard<std::mutex> lock(t.mu);
  return t.entries.count(port) != 0;
}

}  // namespace drovix::host
