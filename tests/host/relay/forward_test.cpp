#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/text.hpp"
#include "host/src/relay/relay.hpp"
#include "relay_home.hpp"
#include "tests/testbed/http_peer.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

using peers::Reply;
using relay_test::AgentReply;
using relay_test::MemoryConn;

const std::string kToken = "0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kDrive = "/v1.0/drives/d1";

class RelayForward : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = relay_test::start_peer();
    ASSERT_TRUE(model_);
    relay_test::write_cert_file("anthropic.key", "sk-host-key\n");
    relay_test::write_cert_file("vault.json", R"([{"service_id":"onedrive","secret":"graph-token"}])");
    write_record("127.0.0.1:" + std::to_string(model_->port()), "A");
  }

  void write_record(const std::string& anthropic_host, const std::string& folder) {
    relay_test::write_record(8001, {{"token", kToken},
                                    {"provider", "anthropic"},
                                    {"onedrive", "rw"},
                                    {"upstream",
                                     {{"anthropic", {{"host", anthropic_host}}},
                                      {"graph", {{"drive", kDrive}, {"root", folder}}}}}});
  }

  static HttpRequest request(const std::string& method, const std::string& path, HeaderList extra = {},
                             std::string body = "") {
    HttpRequest r;
    r.method = method;
    r.path = path;
    r.headers = {{"x-drovix-relay", kToken}};
    for (auto& h : extra) r.headers.push_back(std::move(h));
    r.body = std::move(body);
    r.peer = "10.0.9.11";
    return r;
  }

  static AgentReply call(const HttpRequest& req, std::string* log = nullptr) {
    MemoryConn conn;
    testing::internal::CaptureStdout();
    auto st = relay_request(req, conn);
    std::string out = testing::internal::GetCapturedStdout();
    if (log) *log = out;
    EXPECT_TRUE(st.ok()) << st.message();
    return relay_test::parse_reply(conn.out);
  }

  static std::string graph_path(const std::string& rest) { return "/relay/graph" + kDrive + rest; }

  std::unique_ptr<peers::ModelPeer> model_;
};

std::optional<std::string> header_of(const peers::RecordedRequest& r, const std::string& name) {
  for (const auto& [n, v] : r.headers)
    if (iequals_ascii(n, name)) return v;
  return std::nullopt;
}

TEST_F(RelayForward, CredentialInDroppedHeadersOutAnswerPassedThrough) {
  model_->push(Reply().send(peers::http_head(429, {{"Content-Type", "application/json"},
                                                    {"Retry-After", "30"},
                                                    {"set-cookie", "a=b"},
                                                    {"x-request-id", "x1"},
                                                    {"x-amzn-RequestId", "amz-1"},
                                                    {"request-id", "req-1"},
                                                    {"content-length", "15"},
                                                    {"connection", "close"}}) +
                            R"({"slow":"down"})"));
  HeaderList sent = {{"Host", "evil.test"},        {"Authorization", "Bearer agent"}, {"X-Api-Key", "agent-key"},
                     {"Content-Length", "9"},      {"Connection", "keep-alive"},      {"Accept-Encoding", "gzip"},
                     {"Expect", "100-continue"},   {"TE", "trailers"},                {"Keep-Alive", "5"},
                     {"Upgrade", "h2c"},           {"Proxy-Authorization", "p"},      {"anthropic-version", "2023-06-01"},
                     {"content-type", "application/json"}, {"X-Custom", "kept"},     {"X-DROVIX-RELAY", "second"}};
  AgentReply r = call(request("POST", "/relay/anthropic/v1/messages", sent, R"({"q":1})"));

  EXPECT_EQ(r.status, 429);
  EXPECT_EQ(r.reason, "Too Many Requests");
  EXPECT_EQ(r.headers, (std::vector<std::pair<std::string, std::string>>{{"content-type", "application/json"},
                                                                         {"retry-after", "30"},
                                                                         {"request-id", "req-1"},
                                                                         {"x-amzn-requestid", "amz-1"},
                                                                         {"connection", "close"}}));
  EXPECT_EQ(r.body, R"({"slow":"down"})");

  auto seen = model_->requests();
  ASSERT_EQ(seen.size(), 1u);
  const auto& up = seen[0];
  EXPECT_EQ(up.request_line, "POST /v1/messages HTTP/1.1");
  EXPECT_EQ(up.body, R"({"q":1})");
  EXPECT_EQ(header_of(up, "x-api-key"), "sk-host-key");
  EXPECT_EQ(header_of(up, "content-length"), "7");
  EXPECT_EQ(header_of(up, "host"), "127.0.0.1:" + std::to_string(model_->port()));
  for (const char* gone : {"authorization", "x-drovix-relay", "accept-encoding", "expect", "te", "keep-alive",
                           "upgrade", "proxy-authorization", "transfer-encoding"})
    EXPECT_FALSE(header_of(up, gone)) << gone;
  EXPECT_EQ(up.raw.find(kToken), std::string::npos) << "the relay token never leaves the host";
  EXPECT_EQ(up.raw.find("agent-key"), std::string::npos);
  int api_keys = 0;
  size_t custom_at = 0, key_at = 0;
  for (size_t i = 0; i < up.headers.size(); ++i) {
    if (iequals_ascii(up.headers[i].first, "x-api-key")) ++api_keys, key_at = i;
    if (up.headers[i].first == "X-Custom") custom_at = i;
  }
  EXPECT_EQ(api_keys, 1);
  EXPECT_GT(key_at, custom_at) << "the credential is set after the agent's headers";
  EXPECT_EQ(header_of(up, "anthropic-version"), "2023-06-01");
  EXPECT_EQ(header_of(up, "content-type"), "application/json");
}

TEST_F(RelayForward, BodiesAsReceived) {
  // A POST with no body is sent with an empty one; a GET with a body keeps it.
  model_->push(Reply().send(peers::http_response(200, "application/json", "{}")));
  AgentReply r = call(request("POST", "/relay/anthropic/v1/messages"));
  EXPECT_EQ(r.status, 200);
  ASSERT_EQ(model_->requests().size(), 1u);
  EXPECT_EQ(header_of(model_->requests()[0], "content-length"), "0");

  auto& graph = relay_test::graph_peer();
  size_t before = graph.requests().size();
  graph.push(Reply().send(peers::http_response(200, "application/json", "{\"value\":[]}")));
  r = call(request("GET", graph_path("/root:/A:/children"), {}, "peek"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\"value\":[]}");
  auto seen = graph.requests();
  ASSERT_EQ(seen.size(), before + 1);
  EXPECT_EQ(seen.back().request_line, "GET " + kDrive + "/root:/A:/children HTTP/1.1");
  EXPECT_EQ(seen.back().body, "peek");
  EXPECT_EQ(header_of(seen.back(), "authorization"), "Bearer graph-token");

  // The path goes upstream exactly as it was checked.
  const std::string odd = "/root:/A/x%2Fy%20z.docx:/content?a=%2e%2e&b=c";
  graph.push(Reply().send(peers::http_response(200, "text/plain", "ok")));
  r = call(request("GET", graph_path(odd)));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(graph.requests().back().request_line, "GET " + kDrive + odd + " HTTP/1.1");
}

TEST_F(RelayForward, GetAndPutAreTriedTwicePostOnce) {
  auto& graph = relay_test::graph_peer();
  // First attempt: the upstream closes without answering.
  size_t before = graph.requests().size();
  graph.push(Reply());
  graph.push(Reply().send(peers::http_response(200, "text/plain", "second")));
  std::string log;
  auto start = std::chrono::steady_clock::now();
  AgentReply r = call(request("GET", graph_path("/root:/A/f.txt:/content")), &log);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "second");
  EXPECT_EQ(log, "") << "a failure that the retry mends leaves no trace";
  EXPECT_EQ(graph.requests().size(), before + 2);

  // Both attempts fail: one line, one 502. The line holds the first 120
  // characters of the service path.
  const std::string rest = "/root:/A/" + std::string(500, 'x');
  before = graph.requests().size();
  graph.push(Reply());
  graph.push(Reply());
  r = call(request("PUT", graph_path(rest), {}, "data"), &log);
  EXPECT_EQ(graph.requests().size(), before + 2);
  EXPECT_EQ(r.status, 502);
  EXPECT_EQ(r.reason, "Bad Gateway");
  std::string msg = r.json()["error"]["message"];
  EXPECT_EQ(msg.rfind("relay: graph unreachable: ", 0), 0u) << msg;
  EXPECT_EQ(msg.find("graph-token"), std::string::npos);
  const std::string line_start = "[relay] VM :8001 graph PUT " + (kDrive + rest).substr(0, 120) + ": ";
  EXPECT_EQ(log.rfind(line_start, 0), 0u) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);

  // A POST is not tried again.
  model_->push(Reply());
  r = call(request("POST", "/relay/anthropic/v1/messages", {}, "{}"), &log);
  EXPECT_EQ(r.status, 502);
  EXPECT_EQ(model_->requests().size(), 1u);
  EXPECT_EQ(log.rfind("[relay] VM :8001 anthropic POST /v1/messages: ", 0), 0u) << log;
}

TEST_F(RelayForward, UnreachableUpstream) {
  write_record("127.0.0.1:" + std::to_string(testbed::free_port()), "A");
  std::string log;
  AgentReply r = call(request("POST", "/relay/anthropic/v1/messages", {}, "{}"), &log);
  EXPECT_EQ(r.status, 502);
  EXPECT_EQ(r.headers[0], (std::pair<std::string, std::string>{"content-type", "application/json"}));
  OJson j = r.json();
  EXPECT_EQ(j["type"], "error");
  EXPECT_EQ(j["error"]["type"], "relay_error");
  std::string msg = j["error"]["message"];
  EXPECT_EQ(msg.rfind("relay: anthropic unreachable: ", 0), 0u) << msg;
  EXPECT_NE(msg.find("Network Error"), std::string::npos) << msg;
  EXPECT_EQ(log.find("sk-host-key"), std::string::npos);
}

TEST_F(RelayForward, RedirectIsFollowedWithoutTheGraphToken) {
  testbed::HttpPeer storage([](const testbed::PeerRequest&) {
    testbed::PeerReply p;
    p.headers = {{"Content-Type", "application/octet-stream"}, {"x-ms-request-id", "blob-1"}};
    p.body = std::string("\x00\x01bytes", 7);
    p.close = true;
    return p;
  });
  auto& graph = relay_test::graph_peer();
  graph.push(Reply().send("HTTP/1.1 302 Found\r\nlocation: " + storage.url("/blob?sig=1") +
                          "\r\ncontent-length: 0\r\nconnection: close\r\n\r\n"));
  AgentReply r = call(request("GET", graph_path("/root:/A/f.bin:/content")));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, std::string("\x00\x01bytes", 7));
  EXPECT_EQ(r.headers[0], (std::pair<std::string, std::string>{"content-type", "application/octet-stream"}));
  EXPECT_EQ(r.headers[1], (std::pair<std::string, std::string>{"x-ms-request-id", "blob-1"}));
  auto seen = storage.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, "/blob?sig=1");
  EXPECT_FALSE(seen[0].header("authorization"));
}

TEST_F(RelayForward, StreamedBodyAndAgentThatGoesAway) {
  std::string big(200'000, 'z');
  model_->push(Reply()
                   .send(peers::http_head(200, {{"content-type", "text/event-stream"}, {"transfer-encoding", "chunked"}}))
                   .send(peers::http_chunk("event: a\n\n"))
                   .send(peers::http_chunk(big))
                   .send(peers::http_last_chunk()));
  AgentReply r = call(request("POST", "/relay/anthropic/v1/messages", {}, "{}"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "event: a\n\n" + big) << "chunked coding removed, bytes whole";

  // The agent's connection breaks inside the body: the call ends with the
  // write error.
  model_->push(Reply().send(peers::http_response(200, "text/plain", big)));
  MemoryConn conn;
  conn.fail_after = 1000;
  auto st = relay_request(request("POST", "/relay/anthropic/v1/messages", {}, "{}"), conn);
  EXPECT_FALSE(st.ok());
  EXPECT_LE(conn.out.size(), 1000u);

  // An answer cut short upstream ends the reply where it broke, as success.
  model_->push(Reply().send(peers::http_head(200, {{"content-type", "text/plain"}, {"content-length", "100"}}) +
                            "only part"));
  r = call(request("POST", "/relay/anthropic/v1/messages", {}, "{}"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "only part");
}

TEST_F(RelayForward, NextPageListingChecksWhereTheItemIs) {
  auto& graph = relay_test::graph_peer();
  auto item = [](const std::string& json) { return Reply().send(peers::http_response(200, "application/json", json)); };
  size_t before = graph.requests().size();
  graph.push(item(R"({"name":"sub","parentReference":{"path":"/drives/d1/root:/A"},"folder":{}})"));
  graph.push(item(R"({"value":[1]})"));
  AgentReply r = call(request("GET", graph_path("/items/IT-1/children?$skiptoken=s1")));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, R"({"value":[1]})");
  auto seen = graph.requests();
  ASSERT_EQ(seen.size(), before + 2);
  EXPECT_EQ(seen[before].request_line,
            "GET " + kDrive + "/items/IT-1?$select=name,parentReference,folder,root HTTP/1.1");
  EXPECT_EQ(header_of(seen[before], "authorization"), "Bearer graph-token");
  EXPECT_EQ(seen[before + 1].request_line, "GET " + kDrive + "/items/IT-1/children?$skiptoken=s1 HTTP/1.1");

  // A refused check is a 403 and the listing is not fetched.
  before = graph.requests().size();
  graph.push(item(R"({"name":"B","parentReference":{"path":"/drives/d1/root:"},"folder":{}})"));
  r = call(request("GET", graph_path("/items/IT-2/children?skiptoken=x")));
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(r.json()["error"]["message"], "relay refused: 'B' is outside the agent's folder 'A'");
  EXPECT_EQ(graph.requests().size(), before + 1);
}

TEST_F(RelayForward, FolderCheckOutcomes) {
  auto& graph = relay_test::graph_peer();
  const std::string origin = graph_origin();
  struct Case {
    const char* name;
    std::string folder;
    peers::Reply reply;
    std::string refusal;  // empty: allowed
  } cases[] = {
      {"inside", "A", Reply().send(peers::http_response(200, "application/json",
          R"({"name":"n","parentReference":{"path":"/drives/d1/root:/A/sub%20dir"},"folder":{"childCount":1}})")), ""},
      {"the folder itself", "A/b", Reply().send(peers::http_response(200, "application/json",
          R"({"name":"b","parentReference":{"path":"/drive/root:/A/"},"folder":null})")), ""},
      {"a name that only starts like the folder", "A", Reply().send(peers::http_response(200, "application/json",
          R"({"name":"AB","parentReference":{"path":"/drive/root:"},"folder":{}})")), "'AB' is outside the agent's folder 'A'"},
      {"no folder facet", "A", Reply().send(peers::http_response(200, "application/json",
          R"({"name":"f.txt","parentReference":{"path":"/drive/root:/A"}})")), "not a folder"},
      {"root with a folder", "A", Reply().send(peers::http_response(200, "application/json",
          R"({"name":"root","root":{},"folder":{}})")), "the library root is outside the agent's folder"},
      {"root without a folder", "", Reply().send(peers::http_response(200, "application/json",
          R"({"name":"root","root":{},"folder":{}})")), ""},
      {"anywhere without a folder", "", Reply().send(peers::http_response(200, "application/json",
          R"({"name":"x","parentReference":{"path":"/drive/root:/Z"},"folder":{}})")), ""},
      {"parent path without root:", "A", Reply().send(peers::http_response(200, "application/json",
          R"({"name":"A","parentReference":{"path":"/drives/d1/items/q"},"folder":{}})")), ""},
      {"not found", "A", Reply().send(peers::http_response(404, "application/json", "{}")),
       "can't check where item IT is (HTTP 404)"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    graph.push(std::move(c.reply));
    Status st = graph_folder_check(origin, "IT", kDrive, c.folder, "tok");
    if (c.refusal.empty()) {
      EXPECT_TRUE(st.ok()) << st.message();
    } else {
      ASSERT_FALSE(st.ok());
      EXPECT_EQ(st.message(), c.refusal);
    }
  }
  graph.push(Reply().send(peers::http_response(200, "application/json", "")));
  Status st = graph_folder_check(origin, "IT", kDrive, "A", "tok");
  ASSERT_FALSE(st.ok());
  EXPECT_NE(st.message().find("parse error"), std::string::npos) << st.message();

  st = graph_folder_check("https://127.0.0.1:" + std::to_string(testbed::free_port()), "IT", kDrive, "A", "tok");
  ASSERT_FALSE(st.ok());
  EXPECT_NE(st.message().find("Network Error"), std::string::npos) << st.message();
}

}  // namespace
}  // namespace drovix::host
