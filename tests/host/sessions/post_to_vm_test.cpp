// Requests into an agent's host-only routes: the exact request, what the
// answer gives, and the limits that keep a bad agent from holding a stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/net.hpp"
#include "common/tls.hpp"
#include "fixture.hpp"
#include "host/src/console/post_to_vm.hpp"
#include "tests/testbed/testbed.hpp"

using drovix::OJson;
using namespace drovix;
using namespace drovix::host;
using namespace sessions_test;

namespace {

// One TLS connection on 127.0.0.1: records the request, sends `reply`,
// then ends with or without close_notify.
class FakeAgent {
 public:
  FakeAgent(std::string reply, bool close_notify = true, bool other_pki = false, bool silent = false) {
    std::string cert = home().certs + "/fullchain.pem", key = home().certs + "/privkey.pem";
    if (other_pki) {
      cert = dir_ / "cert.pem";
      key = dir_ / "key.pem";
      write_file(cert, home().other_cert_pem);
      write_file(key, home().other_key_pem);
    }
    auto ctx = tls_server_context(cert, key);
    EXPECT_TRUE(ctx) << ctx.message();
    auto l = tcp_listen("127.0.0.1:0");
    EXPECT_TRUE(l);
    listener_ = std::move(*l);
    port_ = *local_port(listener_);
    thread_ = std::thread([this, ctx = *ctx, reply = std::move(reply), close_notify, silent] {
      auto conn = tcp_accept(listener_);
      if (!conn) return;
      accepted_ = true;
      auto tls = TlsStream::accept(*conn, ctx);
      if (!tls) return;
      char buf[4096];
      while (request_.find("\r\n\r\n") == std::string::npos) {
        auto got = (*tls)->read_some(buf, sizeof buf);
        if (!got || *got == 0) return;
        request_.append(buf, *got);
      }
      if (silent) {
        std::this_thread::sleep_for(std::chrono::seconds(4));
        return;
      }
      (void)(*tls)->write_all(reply);
      if (close_notify) (void)(*tls)->finish();
    });
  }
  ~FakeAgent() {
    listener_.close();
    thread_.join();
  }
  int port() const { return port_; }
  const std::string& request() const { return request_; }
  bool accepted() const { return accepted_; }

 private:
  testbed::TempDir dir_;
  Socket listener_;
  int port_ = 0;
  std::string request_;
  std::atomic<bool> accepted_{false};
  std::thread thread_;
};

class PostToVm : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_state();
    write_file(token_file(), "tok-123\n");
  }
  std::string token_file() const { return dir_ / "flush.token"; }
  Result<OJson> post(const FakeAgent& agent, const std::string& path = "/api/flush", const std::string& body = "",
                     std::chrono::milliseconds limit = std::chrono::seconds(40)) {
    return post_to_agent("127.0.0.1", agent.port(), token_file(), path, body, limit);
  }
  testbed::TempDir dir_;
};

TEST_F(PostToVm, SendsTheExactRequestAndReadsTheBody) {
  FakeAgent agent("HTTP/1.1 200 OK\r\nContent-Length: 37\r\n\r\n{\"saved\":true,\"archive\":\"deals-q3\"}  ");
  auto r = post(agent);
  ASSERT_TRUE(r) << r.message();
  EXPECT_EQ(r->dump(), R"({"saved":true,"archive":"deals-q3"})");
  EXPECT_EQ(agent.request(),
            "POST /api/flush HTTP/1.1\r\nHost: drovix.test\r\nContent-Type: application/json\r\n"
            "Content-Length: 0\r\nConnection: close\r\nx-flush-token: tok-123\r\n\r\n");
}

TEST_F(PostToVm, AnswersAndTheirResults) {
  struct Case {
    const char* name;
    std::string reply;
    bool close_notify;
    const char* expected;  // the object, or "!" for a failure
  } cases[] = {
      {"status ignored", "HTTP/1.1 401 Unauthorized\r\n\r\n{\"error\":\"bad token\"}", true, R"({"error":"bad token"})"},
      {"headers only", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", true, "{}"},
      {"no head end", "HTTP/1.1 200 OK\r\n", true, "{}"},
      {"no close_notify", "HTTP/1.1 200 OK\r\n\r\n{\"ok\":true}", false, R"({"ok":true})"},
      {"list body", "HTTP/1.1 200 OK\r\n\r\n[1,2]", true, "!"},
      {"not JSON", "HTTP/1.1 200 OK\r\n\r\n<html>", true, "!"},
      {"over 1 MiB", "HTTP/1.1 200 OK\r\n\r\n{\"x\":\"" + std::string(kMaxVmAnswer, 'a') + "\"}", true, "!"},
  };
  for (const auto& c : cases) {
    FakeAgent agent(c.reply, c.close_notify);
    auto r = post(agent);
    if (std::string(c.expected) == "!") {
      EXPECT_FALSE(r) << c.name;
    } else {
      ASSERT_TRUE(r) << c.name << ": " << r.message();
      EXPECT_EQ(r->dump(), c.expected) << c.name;
    }
  }
}

TEST_F(PostToVm, Failures) {
  {
    // No token: nothing is sent.
    FakeAgent agent("HTTP/1.1 200 OK\r\n\r\n{}");
    auto r = post_to_agent("127.0.0.1", agent.port(), dir_ / "missing.token", "/api/flush", "",
                           std::chrono::seconds(5));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.message(), "no flush token");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(agent.accepted());
    // Unblock the fake's accept.
    (void)tcp_connect("127.0.0.1", agent.port(), 1000);
  }
  {
    // An agent whose certificate the host does not trust.
    FakeAgent agent("HTTP/1.1 200 OK\r\n\r\n{}", true, /*other_pki=*/true);
    auto r = post(agent);
    EXPECT_FALSE(r);
  }
  {
    // An agent that never answers is given up on within the exchange limit.
    FakeAgent agent("", true, false, /*silent=*/true);
    auto start = std::chrono::steady_clock::now();
    auto r = post(agent, "/api/flush", "", std::chrono::seconds(2));
    EXPECT_FALSE(r);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3500));
  }
  // Nobody listening.
  int port = testbed::free_port();
  auto r = post_to_agent("127.0.0.1", port, token_file(), "/api/flush", "", std::chrono::seconds(5));
  EXPECT_FALSE(r);
  EXPECT_FALSE(r.message().empty());
}

TEST_F(PostToVm, DeliverCarriesItsBody) {
  FakeAgent agent("HTTP/1.1 200 OK\r\n\r\n{\"ok\":true,\"in_workspace\":true}");
  auto r = post(agent, "/api/deliver", R"({"name":"sub-1"})");
  ASSERT_TRUE(r) << r.message();
  EXPECT_NE(agent.request().find("Content-Length: 16\r\n"), std::string::npos);
  EXPECT_EQ(agent.request().substr(agent.request().size() - 4), "\r\n\r\n");
}

// post_to_vm finds the token in the slot's certs folder.
TEST_F(PostToVm, SlotWithoutTokenSendsNothing) {
  auto r = post_to_vm(8005, 5, "/api/flush", "");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.message(), "no flush token");
}

}  // namespace
