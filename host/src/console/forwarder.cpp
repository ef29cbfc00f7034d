#include "host/src/console/forwarder.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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

#include "common/net.hpp"

namespace drovix::host {

namespace {

constexpr int kVmPort = 8443;

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

void forward_connection(int client, std::string vm_address) {
  auto connected = tcp_connect(vm_address, kVmPort, 10000);
  if (!connected) {
    ::close(client);
    return;
  }
  int upstream = connected->release();
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

void forwarder_accept_loop(int listener, std::string vm_address, StopFlag stop) {
  while (true) {
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (stop->load()) {
      if (client >= 0) ::close(client);
      ::close(listener);
      return;
    }
    if (client < 0) continue;
    try {
      std::thread(forward_connection, client, vm_address).detach();
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
  try {
    std::thread(forwarder_accept_loop, fd, vm_address, stop).detach();
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
  // Wakes the accept loop so that it sees the stop flag.
  (void)tcp_connect("127.0.0.1", port, 1000);
}

bool vm_forwarder_running(uint16_t port) {
  ForwarderTable& t = table();
  std::lock_guard<std::mutex> lock(t.mu);
  return t.entries.count(port) != 0;
}

}  // namespace drovix::host
