#include "host/src/console/forwarder.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/net.hpp"
#include "tests/host/console/vm/vm_testbed.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

// Stands for the VM: reads the whole request up to the client's half-close,
// then answers with what it got and closes.
struct EchoVm {
  Socket listener;
  std::atomic<int> accepted{0};
  std::thread thread;

  explicit EchoVm(const std::string& addr) {
    auto l = tcp_listen(addr + ":8443");
    EXPECT_TRUE(l.ok()) << l.message();
    listener = std::move(*l);
    thread = std::thread([this] {
      while (true) {
        auto c = tcp_accept(listener);
        if (!c) return;
        ++accepted;
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(c->fd(), buf, sizeof buf, 0)) > 0) got.append(buf, n);
        std::string reply = "got " + std::to_string(got.size()) + ": " + got.substr(0, 16);
        ::send(c->fd(), reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    });
  }
  ~EchoVm() {
    ::shutdown(listener.fd(), SHUT_RDWR);
    thread.join();
  }
};

// Sends the request, half-closes, and reads the answer to its end.
std::optional<std::string> exchange(uint16_t port, const std::string& request) {
  auto s = tcp_connect("127.0.0.1", port, 2000);
  if (!s) return std::nullopt;
  (void)set_recv_timeout(*s, 5000);
  size_t off = 0;
  while (off < request.size()) {
    ssize_t w = ::send(s->fd(), request.data() + off, request.size() - off, MSG_NOSIGNAL);
    if (w <= 0) return std::nullopt;
    off += w;
  }
  ::shutdown(s->fd(), SHUT_WR);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::recv(s->fd(), buf, sizeof buf, 0)) > 0) out.append(buf, n);
  return out;
}

TEST(Forwarder, PassesBytesBothWaysStopsAndRestarts) {
  testbed::run_in_netns([] {
    ASSERT_EQ(testbed::sh("ip addr add 10.0.9.11/32 dev lo"), 0);
    EchoVm vm("10.0.9.11");

    testing::internal::CaptureStdout();
    start_vm_forwarder(8001, "10.0.9.11");
    start_vm_forwarder(8001, "10.0.9.12");  // already forwarded: nothing happens
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[drovix-host] forwarding :8001 -> 10.0.9.11:8443\n");

    // Larger than one copy buffer, and answered only after the half-close.
    std::string big(200000, 'x');
    big.replace(0, 5, "hello");
    EXPECT_EQ(exchange(8001, big), "got 200000: helloxxxxxxxxxxx");
    EXPECT_EQ(exchange(8001, "ping"), "got 4: ping");
    EXPECT_EQ(vm.accepted.load(), 2);

    stop_vm_forwarder(8001);
    EXPECT_FALSE(vm_forwarder_running(8001));
    EXPECT_TRUE(vmtest::eventually([] { return !tcp_connect("127.0.0.1", 8001, 500).ok(); }, 3000))
        << "the slot port is closed after the stop";
    EXPECT_EQ(vm.accepted.load(), 2) << "the wake-up connection is never forwarded";
    stop_vm_forwarder(8001);  // nothing left to stop

    start_vm_forwarder(8001, "10.0.9.11");
    EXPECT_EQ(exchange(8001, "again"), "got 5: again");
    stop_vm_forwarder(8001);
  });
}

TEST(Forwarder, VmNotListeningClosesOnlyThatClient) {
  testbed::run_in_netns([] {
    ASSERT_EQ(testbed::sh("ip addr add 10.0.9.12/32 dev lo"), 0);
    start_vm_forwarder(8002, "10.0.9.12");
    EXPECT_EQ(exchange(8002, "early"), "") << "refused upstream: closed without a byte";
    EchoVm vm("10.0.9.12");
    EXPECT_EQ(exchange(8002, "later"), "got 5: later");
    stop_vm_forwarder(8002);
  });
}

TEST(Forwarder, PortInUseIsLoggedAndNotEntered) {
  testbed::run_in_netns([] {
    auto busy = tcp_listen("0.0.0.0:8003");
    ASSERT_TRUE(busy.ok());
    testing::internal::CaptureStdout();
    start_vm_forwarder(8003, "10.0.9.13");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[drovix-host] forwarder :8003 failed: Address already in use\n");
    EXPECT_FALSE(vm_forwarder_running(8003));
  });
}

}  // namespace
}  // namespace drovix::host
