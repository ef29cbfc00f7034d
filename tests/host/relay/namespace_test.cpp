// The relay end to end on the agents' network: a client bound to an agent
// VM's address calls the gateway address over TLS, as a VM does, and the
// host's own listener hands the call to the relay.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "common/encoding.hpp"
#include "common/net.hpp"
#include "common/text.hpp"
#include "common/tls.hpp"
#include "host/src/http/listener.hpp"
#include "host/src/http/tls_setup.hpp"
#include "relay_home.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

using namespace std::chrono_literals;

const std::string kToken = "fedcba9876543210fedcba9876543210fedcba9876543210";

// A TLS connection from 10.0.9.11 to the gateway at 10.0.9.1:443.
struct VmClient {
  Socket sock;
  std::unique_ptr<TlsStream> tls;
  std::string got;

  bool open() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sock = Socket(fd);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    ::inet_pton(AF_INET, "10.0.9.11", &self.sin_addr);
    sockaddr_in gw{};
    gw.sin_family = AF_INET;
    gw.sin_port = htons(443);
    ::inet_pton(AF_INET, "10.0.9.1", &gw.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) return false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&gw), sizeof gw) != 0) return false;
    (void)set_recv_timeout(sock, 20000);
    auto t = TlsStream::connect(sock, tls_client_context(relay_test::home().ca_pem), "10.0.9.1");
    if (!t) return false;
    tls = std::move(*t);
    return true;
  }

  bool send(const std::string& method, const std::string& path, const std::string& token, const std::string& body) {
    std::string req = method + " " + path + " HTTP/1.1\r\nhost: drovix.test\r\nx-drovix-relay: " + token +
                      "\r\nauthorization: Bearer agent-side\r\naccept-encoding: gzip\r\n"
                      "anthropic-version: 2023-06-01\r\ncontent-type: application/json\r\ncontent-length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body;
    return tls->write_all(req).ok();
  }

  // Reads until the text has arrived; false on end of stream or time-out.
  bool read_until(const std::string& text) {
    char buf[4096];
    while (got.find(text) == std::string::npos) {
      auto n = tls->read_some(buf, sizeof buf);
      if (!n || *n == 0) return false;
      got.append(buf, *n);
    }
    return true;
  }

  void read_to_end() {
    char buf[4096];
    for (;;) {
      auto n = tls->read_some(buf, sizeof buf);
      if (!n || *n == 0) return;
      got.append(buf, *n);
    }
  }
};

relay_test::AgentReply exchange(const std::string& path, const std::string& token) {
  VmClient c;
  EXPECT_TRUE(c.open());
  if (!c.tls) return {};
  EXPECT_TRUE(c.send("POST", path, token, "{}"));
  c.read_to_end();
  EXPECT_TRUE(c.tls->peer_closed_cleanly()) << "the reply ends with close_notify";
  return relay_test::parse_reply(c.got);
}

TEST(RelayNamespace, StreamsThroughTheGatewayAndRefusesWrongTokens) {
  const std::string marker = "ns" + hex_lower(random_bytes(6));
  testbed::run_in_netns([&] {
    ASSERT_EQ(testbed::sh("ip addr add 10.0.9.1/32 dev lo && ip addr add 10.0.9.11/32 dev lo"), 0);
    // The refusal's audit rows go to the real ClickHouse of the parent
    // namespace through this bridge.
    relay_test::bridge_clickhouse_into_netns();

    const auto& certs = relay_test::home().certs;
    auto tls = tls_server_config(certs + "/fullchain.pem", certs + "/privkey.pem");
    ASSERT_TRUE(tls.ok()) << tls.message();
    auto gateway = std::make_shared<const Handler>(
        [](const HttpRequest&) { return json_response(404, OJson{{"error", "not the relay"}}); });
    ASSERT_TRUE(listen_gateway("10.0.9.1", *tls, HttpService{64 << 20, gateway}).ok());

    auto model = relay_test::start_peer();
    ASSERT_TRUE(model);
    relay_test::write_cert_file("anthropic.key", "sk-ns-host-key\n");
    relay_test::write_record(8001, {{"token", kToken},
                                    {"provider", "anthropic"},
                                    {"onedrive", "none"},
                                    {"upstream", {{"anthropic", {{"host", "127.0.0.1:" + std::to_string(model->port())}}}}}});

    const std::string e1 = peers::sse_event(peers::message_start(12));
    const std::string e2 = peers::sse_event(peers::text_delta("hello"));
    const std::string e3 = peers::sse_event(peers::message_stop());
    model->push(peers::Reply()
                    .send(peers::http_head(200, {{"content-type", "text/event-stream"},
                                                 {"request-id", "req-ns"},
                                                 {"cache-control", "no-cache"},
                                                 {"transfer-encoding", "chunked"}}))
                    .send(peers::http_chunk(e1))
                    .gate(1)
                    .send(peers::http_chunk(e2))
                    .gate(2)
                    .send(peers::http_chunk(e3) + peers::http_last_chunk()));

    VmClient c;
    ASSERT_TRUE(c.open());
    ASSERT_TRUE(c.send("POST", "/relay/anthropic/v1/messages", kToken, R"({"stream":true})"));
    // Each event reaches the VM while the upstream still holds the next.
    ASSERT_TRUE(c.read_until(e1)) << c.got;
    EXPECT_TRUE(model->wait_at_gate(1, 0ms)) << "the first event arrived before the second was sent";
    EXPECT_EQ(c.got.find(e2), std::string::npos);
    model->open(1);
    ASSERT_TRUE(c.read_until(e2)) << c.got;
    EXPECT_TRUE(model->wait_at_gate(2, 0ms));
    EXPECT_EQ(c.got.find(e3), std::string::npos);
    model->open(2);
    c.read_to_end();
    auto reply = relay_test::parse_reply(c.got);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers, (std::vector<std::pair<std::string, std::string>>{
                                 {"content-type", "text/event-stream"}, {"request-id", "req-ns"}, {"connection", "close"}}));
    EXPECT_EQ(reply.body, e1 + e2 + e3);

    auto seen = model->requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].request_line, "POST /v1/messages HTTP/1.1");
    EXPECT_EQ(seen[0].body, R"({"stream":true})");
    EXPECT_NE(seen[0].raw.find("\r\nx-api-key: sk-ns-host-key\r\n"), std::string::npos) << seen[0].raw;
    EXPECT_NE(seen[0].raw.find("\r\nanthropic-version: 2023-06-01\r\n"), std::string::npos);
    for (const char* absent : {kToken.c_str(), "x-drovix-relay", "agent-side", "authorization", "accept-encoding",
                               "drovix.test"})
      EXPECT_EQ(to_lower_ascii(seen[0].raw).find(absent), std::string::npos) << absent;

    // A wrong token: 401, nothing upstream.
    auto refused = exchange("/relay/anthropic/v1/messages?" + marker, std::string(48, '0'));
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.reason, "Unauthorized");
    EXPECT_EQ(refused.body,
              R"({"type":"error","error":{"type":"relay_error","message":"relay refused: this VM has no relay token, or sent the wrong one"}})");
    EXPECT_EQ(model->requests().size(), 1u);

    // An upstream that nothing answers: 502 with the relay error object.
    relay_test::write_record(8001, {{"token", kToken},
                                    {"provider", "anthropic"},
                                    {"upstream", {{"anthropic", {{"host", "127.0.0.1:" + std::to_string(testbed::free_port())}}}}}});
    auto down = exchange("/relay/anthropic/v1/messages", kToken);
    EXPECT_EQ(down.status, 502);
    OJson err = down.json();
    EXPECT_EQ(err["type"], "error");
    EXPECT_EQ(err["error"]["type"], "relay_error");
    EXPECT_EQ(err["error"]["message"].get<std::string>().rfind("relay: anthropic unreachable: ", 0), 0u) << down.body;
  });

  // The refusal was written to the real ClickHouse before the VM got its 401.
  auto rows = relay_test::refusal_rows(marker);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["session_id"], "vm-8001");
  EXPECT_EQ(rows[0]["host"], "fleet-vm-8001");
  EXPECT_EQ(rows[0]["severity"], "high");
  EXPECT_EQ(rows[0]["text"], "Credential relay refused VM :8001: anthropic POST /v1/messages?" + marker +
                                 " \u2014 this VM has no relay token, or sent the wrong one");
}

}  // namespace
}  // namespace drovix::host
