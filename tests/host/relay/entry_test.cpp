#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/encoding.hpp"
#include "host/src/console/vault.hpp"
#include "host/src/relay/relay.hpp"
#include "relay_home.hpp"

namespace drovix::host {
namespace {

using relay_test::AgentReply;
using relay_test::MemoryConn;

const std::string kToken(48, 'a');
const std::string kBadToken = "this VM has no relay token, or sent the wrong one";

OJson record(const std::string& token = kToken, const std::string& provider = "anthropic") {
  return {{"token", token},
          {"provider", provider},
          {"onedrive", "rw"},
          {"upstream", {{"anthropic", {{"host", "127.0.0.1:1"}}}, {"private", {{"host", "127.0.0.1:1"}}}, {"graph", {{"drive", "/v1.0/drives/d1"}, {"root", "A"}}}}}};
}

HttpRequest request(const std::string& path, const std::string& peer = "10.0.9.11",
                    HeaderList headers = {{"x-drovix-relay", kToken}}, const std::string& method = "POST") {
  HttpRequest r;
  r.method = method;
  r.path = path;
  r.headers = std::move(headers);
  r.peer = peer;
  return r;
}

AgentReply call(const HttpRequest& req) {
  MemoryConn conn;
  auto st = relay_request(req, conn);
  EXPECT_TRUE(st.ok()) << st.message();
  return relay_test::parse_reply(conn.out);
}

std::string error_message(const AgentReply& r) {
  OJson j = r.json();
  if (!j.is_object() || !j.contains("error")) return "<no relay error: " + r.body + ">";
  return j["error"].value("message", "");
}

TEST(RelayEntry, ErrorReplyBytes) {
  MemoryConn conn;
  ASSERT_TRUE(relay_error_reply(conn, 418, "x \"y\"").ok());
  EXPECT_EQ(conn.out,
            "HTTP/1.1 418 Error\r\ncontent-type: application/json\r\ncontent-length: 67\r\nconnection: close\r\n\r\n"
            "{\"type\":\"error\",\"error\":{\"type\":\"relay_error\",\"message\":\"x \\\"y\\\"\"}}");
  EXPECT_TRUE(conn.finished);
  for (auto [status, reason] : {std::pair<uint16_t, const char*>{401, "Unauthorized"}, {403, "Forbidden"},
                                {502, "Bad Gateway"}, {503, "Service Unavailable"}, {500, "Error"}}) {
    MemoryConn c;
    ASSERT_TRUE(relay_error_reply(c, status, "m").ok());
    EXPECT_EQ(relay_test::parse_reply(c.out).reason, reason);
  }
  MemoryConn broken;
  broken.fail_after = 0;
  EXPECT_FALSE(relay_error_reply(broken, 401, "m").ok()) << "a failed write is the result";
}

TEST(RelayEntry, TokenCheck) {
  relay_test::write_record(8001, record());
  relay_test::write_record(8003, record(""));
  relay_test::write_record(8004, OJson::array({record()}));
  relay_test::write_record(8005, {{"token", 5}});
  relay_test::write_cert_file("../vmstate/8006/relay.json", "{not json");
  std::error_code ec;
  std::filesystem::remove_all(relay_test::home().dir + "/vmstate/8002", ec);

  // Passing the token check, /relay/ names no service: 403.
  struct Case {
    const char* name;
    std::string peer;
    HeaderList headers;
    std::string path;
    int status;
  } cases[] = {
      {"good token", "10.0.9.11", {{"x-drovix-relay", kToken}}, "/relay/", 403},
      {"header name in capitals", "10.0.9.11", {{"X-DROVIX-RELAY", kToken}}, "/relay/", 403},
      {"only the first header counts (good first)", "10.0.9.11",
       {{"x-drovix-relay", kToken}, {"x-drovix-relay", "bad"}}, "/relay/", 403},
      {"only the first header counts (bad first)", "10.0.9.11",
       {{"x-drovix-relay", "bad"}, {"X-Drovix-Relay", kToken}}, "/relay/", 401},
      {"trailing space", "10.0.9.11", {{"x-drovix-relay", kToken + " "}}, "/relay/", 401},
      {"one byte differs", "10.0.9.11", {{"x-drovix-relay", std::string(47, 'a') + "b"}}, "/relay/", 401},
      {"no header", "10.0.9.11", {{"authorization", "Bearer " + kToken}}, "/relay/", 401},
      {"wrong token before an unknown service", "10.0.9.11", {{"x-drovix-relay", "x"}}, "/relay/nope/x", 401},
      {"not an agent slot", "10.0.9.19", {{"x-drovix-relay", kToken}}, "/relay/", 401},
      {"the gateway address", "10.0.9.1", {{"x-drovix-relay", kToken}}, "/relay/", 401},
      {"IPv6 peer", "::1", {{"x-drovix-relay", kToken}}, "/relay/", 401},
      {"no record", "10.0.9.12", {{"x-drovix-relay", kToken}}, "/relay/", 401},
      {"empty token", "10.0.9.13", {{"x-drovix-relay", ""}}, "/relay/", 401},
      {"record not an object", "10.0.9.14", {{"x-drovix-relay", kToken}}, "/relay/", 401},
      {"token not text", "10.0.9.15", {{"x-drovix-relay", "5"}}, "/relay/", 401},
      {"record not JSON", "10.0.9.16", {{"x-drovix-relay", kToken}}, "/relay/", 401},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AgentReply r = call(request(c.path, c.peer, c.headers));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(error_message(r), c.status == 401 ? "relay refused: " + kBadToken : "relay refused: no such service ''");
  }
}

TEST(RelayEntry, RefusalIsAConsoleSignal) {
  relay_test::write_record(8001, record());
  const std::string marker = "m" + hex_lower(random_bytes(6));
  const std::string long_path = "/v1/" + marker + std::string(400, 'p');

  AgentReply r = call(request("/relay/anthropic" + long_path, "10.0.9.30"));
  EXPECT_EQ(r.status, 401);
  EXPECT_EQ(r.body.find(marker), std::string::npos) << "the reply carries no path";
  auto rows = relay_test::refusal_rows(marker);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (OJson{{"session_id", "vm-0"},
                            {"kind", "signal"},
                            {"rule", "relay_refused"},
                            {"severity", "high"},
                            {"tool", "console"},
                            {"text", "Credential relay refused an unknown address: anthropic POST " +
                                         long_path.substr(0, 300) + " \u2014 " + kBadToken},
                            {"host", "fleet-vm-0"},
                            {"os_user", "relay"}}));

  const std::string marker2 = "m" + hex_lower(random_bytes(6));
  r = call(request("/relay/anthropic/v1/messages?" + marker2, "10.0.9.11", {{"x-drovix-relay", kToken}}, "GET"));
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(error_message(r), "relay refused: only POST /v1/messages");
  rows = relay_test::refusal_rows(marker2);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["session_id"], "vm-8001");
  EXPECT_EQ(rows[0]["host"], "fleet-vm-8001");
  EXPECT_EQ(rows[0]["text"], "Credential relay refused VM :8001: anthropic GET /v1/messages?" + marker2 +
                                 " \u2014 only POST /v1/messages");
}

TEST(RelayEntry, CredentialPhase) {
  relay_test::write_record(8001, record());
  relay_test::write_record(8002, record(kToken, "private"));
  relay_test::write_record(8003, record(kToken, "bedrock"));
  const std::string none = "relay refused: this host has no credential for that service right now";
  struct Case {
    const char* name;
    std::string peer, path, method;
  } cases[] = {
      {"anthropic", "10.0.9.11", "/relay/anthropic/v1/messages", "POST"},
      {"private", "10.0.9.12", "/relay/private/v1/messages", "POST"},
      {"bedrock", "10.0.9.13", "/relay/bedrock/model//invoke", "POST"},
      {"graph", "10.0.9.11", "/relay/graph/v1.0/drives/d1/root:/A:/children", "GET"},
  };
  relay_test::remove_cert_file("anthropic.key");
  relay_test::write_cert_file("llm.json", R"({"private":{"host":"h"},"bedrock":{"key":""}})");
  relay_test::write_cert_file("vault.json", R"([{"service_id":"mcp:x","secret":"s"},{"service_id":"onedrive"},
                                              {"service_id":"onedrive","secret":"later"}])");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AgentReply r = call(request(c.path, c.peer, {{"x-drovix-relay", kToken}}, c.method));
    EXPECT_EQ(r.status, 503);
    EXPECT_EQ(r.reason, "Service Unavailable");
    EXPECT_EQ(error_message(r), none);
  }
  relay_test::write_cert_file("anthropic.key", "  \n");
  EXPECT_EQ(call(request("/relay/anthropic/v1/messages")).status, 503) << "a blank key is no key";

  // With every credential present the calls pass on to the (closed)
  // upstreams and fail there instead.
  relay_test::write_cert_file("anthropic.key", "sk\n");
  relay_test::write_cert_file("llm.json", R"({"private":{"key":"pk"},"bedrock":{"key":"bk"}})");
  relay_test::write_cert_file("vault.json", R"([{"service_id":"onedrive","secret":"gs"}])");
  EXPECT_EQ(relay_credential("anthropic"), "sk");
  EXPECT_EQ(relay_credential("private"), "pk");
  EXPECT_EQ(relay_credential("bedrock"), "bk");
  EXPECT_EQ(relay_credential("graph"), "gs");
  testing::internal::CaptureStdout();
  AgentReply r = call(request("/relay/anthropic/v1/messages"));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.status, 502);
}

// vault.json has several writers (console connections, the SharePoint
// token renewal): each rewrite must keep the others' entries, and the relay,
// reading without a lock, must never see a half-written file.
TEST(RelayEntry, VaultWritersNeverHideTheGraphToken) {
  relay_test::write_cert_file("vault.json", R"([{"service_id":"onedrive","secret":"gs"}])");
  std::atomic<bool> done{false};
  std::atomic<int> misses{0};
  std::thread reader([&] {
    while (!done) {
      if (relay_credential("graph") != "gs") ++misses;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([w] {
      for (int i = 0; i < 25; ++i)
        save_vault_entry(OJson{{"service_id", "mcp:w" + std::to_string(w) + "-" + std::to_string(i)}, {"secret", "s"}});
    });
  for (auto& t : writers) t.join();
  done = true;
  reader.join();
  EXPECT_EQ(misses.load(), 0);
  OJson vault = read_vault();
  EXPECT_EQ(vault.size(), 101u) << "no writer dropped another's entry";
  EXPECT_EQ(relay_credential("graph"), "gs");
}

}  // namespace
}  // namespace drovix::host
