#include "agent/src/main/model_request.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/src/main/chunked.hpp"
#include "agent/src/main/hooks.hpp"
#include "tests/agent/model/model_fixture.hpp"

using namespace drovix;
using namespace drovix::agent;
using modeltest::entry;

namespace {

constexpr const char* kRelayToken = "relay-token-0123456789abcdef";

// A body as the tool-round loop builds it, keys set out of order on purpose.
SJson loop_body() {
  SJson b = SJson::object();
  b["tools"] = SJson::array({SJson{{"name", "search"}, {"description", "d"}, {"input_schema", SJson::object()}}});
  b["messages"] = SJson::array({SJson{{"role", "user"}, {"content", "hi"}}});
  b["model"] = "claude-test";
  b["system"] = "Be brief.";
  b["max_tokens"] = 16000;
  return b;
}

std::string expected_request(const std::string& line, const std::string& host, const HeaderPairs& headers,
                             const std::string& body) {
  std::string out = line + "\r\nhost: " + host + "\r\n";
  for (const auto& [n, v] : headers) out += n + ": " + v + "\r\n";
  out += "content-length: " + std::to_string(body.size()) + "\r\nconnection: close\r\n";
  out += std::string("x-drovix-relay: ") + kRelayToken + "\r\n\r\n" + body;
  return out;
}

peers::Reply json_reply(const nlohmann::json& v) {
  return peers::Reply().send(peers::http_response(200, "application/json", v.dump()));
}

class ModelCall : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = modeltest::start_peer();
    ASSERT_TRUE(peer_);
    connect_ = modeltest::peer_connector(peer_->port());
    hook_events_drain("");
  }
  void add(const std::string& id, const std::string& host, const std::string& path = "/") {
    keyring_insert(kr_, id, entry(host, path, "/relay/" + id, "x-drovix-relay", "", kRelayToken));
  }

  Keyring kr_;
  std::unique_ptr<peers::ModelPeer> peer_;
  ServiceConnector connect_;
};

}  // namespace

// The whole request as it leaves the agent, for each provider: request line
// with the relay path, headers in order with the credential last, compact
// body with sorted keys and the provider's own body changes.
TEST_F(ModelCall, RequestBytesForEachProvider) {
  struct Case {
    const char* name;
    std::string id, host, path;
    std::string line;
    HeaderPairs headers;
    std::string body;
  };
  const std::string msgs = R"("messages":[{"content":"hi","role":"user"}])";
  const std::string tools = R"("tools":[{"description":"d","input_schema":{},"name":"search"}])";
  const Case cases[] = {
      {"anthropic", "anthropic", modeltest::kAnthropicHost, "/", "POST /relay/anthropic/v1/messages HTTP/1.1",
       {{"anthropic-version", "2023-06-01"}, {"content-type", "application/json"}},
       R"({"max_tokens":16000,)" + msgs + R"(,"model":"claude-test","system":"Be brief.",)" + tools + "}"},
      {"private", "private", modeltest::kPrivateHost, "/", "POST /relay/private/v1/messages HTTP/1.1",
       {{"anthropic-version", "2023-06-01"}, {"content-type", "application/json"}},
       R"({"max_tokens":16000,)" + msgs +
           R"(,"model":"claude-test","system":"Be brief.","temperature":0.2,"thinking":{"type":"disabled"},)" +
           tools + "}"},
      {"bedrock", "bedrock", modeltest::kBedrockHost, "/model/anthropic.claude-v1:0",
       "POST /relay/bedrock/model/anthropic.claude-v1:0/invoke HTTP/1.1",
       {{"content-type", "application/json"}, {"accept", "application/json"}},
       R"({"anthropic_version":"bedrock-2023-05-31","max_tokens":16000,)" + msgs + R"(,"system":"Be brief.",)" +
           tools + "}"},
      {"bedrock, default path", "bedrock", modeltest::kBedrockHost, "/",
       "POST /relay/bedrock//invoke HTTP/1.1",
       {{"content-type", "application/json"}, {"accept", "application/json"}},
       R"({"anthropic_version":"bedrock-2023-05-31","max_tokens":16000,)" + msgs + R"(,"system":"Be brief.",)" +
           tools + "}"},
  };
  size_t n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Keyring kr;
    keyring_insert(kr, c.id, entry(c.host, c.path, "/relay/" + c.id, "x-drovix-relay", "", kRelayToken));
    peer_->push(json_reply(peers::messages_reply("hello", 5, 2)));
    SJson body = loop_body();
    auto reply = call_model(kr, body, "messages", connect_);
    ASSERT_TRUE(reply.ok()) << reply.message();
    EXPECT_EQ((*reply)["content"][0]["text"], "hello");
    EXPECT_EQ(body, loop_body()) << "the caller's body is not changed";
    ASSERT_TRUE(peer_->wait_requests(++n));
    EXPECT_EQ(peer_->requests().back().raw, expected_request(c.line, c.host, c.headers, c.body));
  }
}

TEST_F(ModelCall, PrivateServerKeepsCallerSettings) {
  add("private", modeltest::kPrivateHost);
  peer_->push(json_reply(peers::messages_reply("ok", 1, 1)));
  SJson body = loop_body();
  body["temperature"] = 1;
  body["thinking"] = SJson{{"type", "enabled"}, {"budget_tokens", 2048}};
  ASSERT_TRUE(call_model(kr_, body, "messages", connect_).ok());
  ASSERT_TRUE(peer_->wait_requests(1));
  SJson sent = SJson::parse(peer_->requests()[0].body);
  EXPECT_EQ(sent["temperature"], 1);
  EXPECT_EQ(sent["thinking"], (SJson{{"type", "enabled"}, {"budget_tokens", 2048}}));
}

TEST_F(ModelCall, ProviderPrecedence) {
  struct Case {
    std::vector<std::string> ids;
    std::string expect_host;
  };
  const Case cases[] = {
      {{"anthropic", "bedrock", "private"}, modeltest::kBedrockHost},
      {{"bedrock", "private"}, modeltest::kBedrockHost},
      {{"anthropic", "private"}, modeltest::kPrivateHost},
      {{"anthropic"}, modeltest::kAnthropicHost},
  };
  size_t n = 0;
  for (const auto& c : cases) {
    Keyring kr;
    for (const auto& id : c.ids) {
      std::string host = id == "bedrock" ? modeltest::kBedrockHost
                         : id == "private" ? modeltest::kPrivateHost
                                           : modeltest::kAnthropicHost;
      keyring_insert(kr, id, entry(host, "/m", "", "x-api-key", "", "secret-" + id + "-0123456789"));
    }
    peer_->push(json_reply(peers::messages_reply("ok", 1, 1)));
    ASSERT_TRUE(call_model(kr, loop_body(), "messages", connect_).ok());
    ASSERT_TRUE(peer_->wait_requests(++n));
    auto req = peer_->requests().back();
    EXPECT_EQ(req.headers[0], (std::pair<std::string, std::string>{"host", c.expect_host}));
  }
}

TEST_F(ModelCall, FailuresBeforeAndAfterSending) {
  // Without a provider entry nothing connects.
  int connects = 0;
  ServiceConnector counting = [&](const std::string& ip, const std::string& host) {
    ++connects;
    return connect_(ip, host);
  };
  Keyring empty;
  keyring_insert(empty, "statesink", entry("gw", "/", "", "authorization", "Bearer ", "gateway-0123456789abc"));
  auto r = call_model(empty, loop_body(), "messages", counting);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "no model credential in keyring");
  EXPECT_EQ(connects, 0);

  // A stored credential inside the body is refused by the keyring.
  add("anthropic", modeltest::kAnthropicHost);
  SJson leaky = loop_body();
  leaky["messages"][0]["content"] = std::string("please use ") + kRelayToken;
  r = call_model(kr_, leaky, "messages", connect_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "blocked: a stored credential appeared in outbound content");

  // Error statuses in the providers' shapes, and a 200 that is not JSON.
  peer_->push(peers::Reply().send(peers::http_response(
      429, "application/json", peers::anthropic_error_body("rate_limit_error", "slow down"))));
  r = call_model(kr_, loop_body(), "messages", connect_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "API 429: slow down");

  peer_->push(peers::Reply().send(peers::http_response(200, "application/json", "<html>")));
  r = call_model(kr_, loop_body(), "messages", connect_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message().rfind("parse: ", 0), 0u) << r.message();

  // A chunked reply is de-chunked before it is parsed.
  std::string json = peers::messages_reply("chunked ok", 1, 1).dump();
  peer_->push(peers::Reply()
                  .send(peers::http_head(200, {{"content-type", "application/json"}, {"transfer-encoding", "chunked"}}))
                  .send(peers::http_chunk(json.substr(0, 10)))
                  .send(peers::http_chunk(json.substr(10)) + peers::http_last_chunk()));
  r = call_model(kr_, loop_body(), "messages", connect_);
  ASSERT_TRUE(r.ok()) << r.message();
  EXPECT_EQ((*r)["content"][0]["text"], "chunked ok");
}

TEST(ProviderErrorText, ErrorShapes) {
  struct Case {
    uint16_t status;
    std::string body, expected;
  };
  const Case cases[] = {
      {429, peers::anthropic_error_body("rate_limit_error", "Rate limited"), "API 429: Rate limited"},
      {400, peers::bedrock_error_body("Malformed input request"), "API 400: Malformed input request"},
      {503, peers::aws_error_body("Service unavailable"), "API 503: Service unavailable"},
      {500, R"({"message":42,"Message":"hidden"})", "API 500: request failed"},
      {500, R"({"error":{"message":7},"message":"hidden"})", "API 500: request failed"},
      {502, R"({"error":"text","message":"outer"})", "API 502: outer"},
      {502, "Bad Gateway", "API 502: request failed"},
      {404, "", "API 404: request failed"},
  };
  for (const auto& c : cases) EXPECT_EQ(provider_error_text(c.status, c.body), c.expected) << c.body;
}

TEST(DecodeChunked, Cases) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", "hello"},
      {"3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n", "abcdefg"},
      {"A\r\n0123456789\r\n0\r\n\r\n", "0123456789"},
      {"+2\r\nok\r\n", "ok"},
      {" 2 \r\nok\r\n", "ok"},
      {"3\r\nabc\r\n9\r\nshort\r\n", "abc"},   // a chunk longer than what remains is dropped
      {"3;ext=1\r\nabc\r\n", ""},             // chunk extensions stop the decoding
      {"-3\r\nabc\r\n", ""},
      {"\r\nabc\r\n", ""},
      {"3\r\nabc", "abc"},                     // the last chunk without its CR LF
      {"3\r\nabc\r\n2", "abc"},                // a size line without CR LF
      {"11111111111111111\r\nabc\r\n", ""},    // more than 64 bits
  };
  for (const auto& c : cases) EXPECT_EQ(decode_chunked(c.in), c.out) << c.in;
}

TEST(PreApiCallHook, DetailCountsAndSwitch) {
  hook_events_drain("");
  SJson body = SJson::object();
  body["messages"] = SJson::array({"a", "b", "c"});
  body["tools"] = SJson::array({1, 2});
  body["system"] = "ééééé12345";  // 10 characters, 15 bytes
  ASSERT_TRUE(pre_api_call_hook(body, "compaction").ok());
  auto events = hook_events_drain("s1");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["hook"], "PreApiCall");
  EXPECT_EQ(events[0]["tool"], "compaction");
  EXPECT_EQ(events[0]["decision"], "allow");
  EXPECT_EQ(events[0]["detail"], "3 messages · 2 tools · system 10 chars · " +
                                     std::to_string(to_compact(body).size()) + " bytes");

  auto& sw = hook_state().switches[static_cast<size_t>(HookKind::PreApiCall)];
  sw = false;
  ASSERT_TRUE(pre_api_call_hook(body, "compaction").ok());
  sw = true;
  EXPECT_TRUE(hook_events_drain("s1").empty());
}
