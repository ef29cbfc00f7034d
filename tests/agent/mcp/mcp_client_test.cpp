#include "agent/src/main/mcp_client.hpp"

#include <sys/mount.h>
#include <sys/stat.h>

#include <mutex>

#include <gtest/gtest.h>

#include "host/src/http/listener.hpp"
#include "host/src/http/tls_setup.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::agent;
using drovix::SJson;

TEST(McpResultText, Replies) {
  struct Case {
    const char* reply;
    bool is_error;
    const char* text;
  } cases[] = {
      {R"({"jsonrpc": "2.0", "id": 1, "error": {"code": -32601, "message": "unknown method"}})", true,
       "unknown method"},
      {R"({"jsonrpc": "2.0", "id": 1, "error": {"code": -32601}})", true, "MCP error"},
      {R"({"error": null})", true, "MCP error"},
      {R"({"result": {"content": [{"type": "text", "text": "a"}, {"type": "image"}, {"type": "text", "text": "b"}],
          "isError": false}})",
       false, "a\nb"},
      {R"({"result": {"content": [{"type": "text", "text": "no"}], "isError": true}})", true, "no"},
      {R"({"result": {"content": [], "isError": "yes"}})", false, ""},
      {R"({"result": {"tools": []}})", false, R"({"result": {"tools": []}})"},
      {"event: message\ndata: {\"result\": {}}\n\n", false, "event: message\ndata: {\"result\": {}}\n\n"},
      {"[1,2]", false, "[1,2]"},
  };
  for (const auto& c : cases) {
    McpOutcome o = mcp_result_text(c.reply);
    EXPECT_EQ(o.is_error, c.is_error) << c.reply;
    EXPECT_EQ(o.text, c.text) << c.reply;
  }
}

TEST(McpCall, UnknownServerFailsBeforeAnyConnection) {
  Keyring kr;
  auto r = mcp_call(kr, "datalake", "tools/list", nullptr);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.message(), "MCP server 'datalake' not connected");
}

// Against a TLS server on 127.0.0.1:443 inside a namespace of the test's
// own, with the test CA as /certs/ca.pem.
TEST(McpCall, RequestAndReplies) {
  testbed::TempDir certs;
  testbed::write_test_certs(testbed::shared_test_pki(), certs.path());
  testbed::run_in_netns([&] {
    if (::mkdir("/certs", 0755) != 0 && errno != EEXIST) FAIL() << "mkdir /certs";
    ASSERT_EQ(::mount(certs.path().c_str(), "/certs", nullptr, MS_BIND, nullptr), 0);

    std::mutex mu;
    std::vector<drovix::host::HttpRequest> seen;
    drovix::host::HttpResponse next;
    auto handler = std::make_shared<const drovix::host::Handler>([&](const drovix::host::HttpRequest& req) {
      std::lock_guard lock(mu);
      seen.push_back(req);
      return next;
    });
    auto tls = drovix::host::tls_server_config(certs / "fullchain.pem", certs / "privkey.pem");
    ASSERT_TRUE(tls) << tls.message();
    ASSERT_TRUE(drovix::host::spawn_listener("127.0.0.1:443", *tls, 1 << 20, handler));

    Keyring kr;
    KeyringEntry e;
    e.host = "localhost";
    e.ip = "127.0.0.1";
    e.header = "x-api-key";
    e.secret = "websearch-secret-0123456789";
    e.path = "/mcp/v1";
    e.relay = "/relay/websearch";
    keyring_insert(kr, "mcp:websearch", e);

    next.body = R"({"jsonrpc":"2.0","id":1,"result":{"tools":[]}})";
    auto ok = mcp_call(kr, "websearch", "tools/list", nullptr);
    ASSERT_TRUE(ok) << ok.message();
    EXPECT_EQ(*ok, next.body);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, "/relay/websearch/mcp/v1");
    EXPECT_EQ(seen[0].body, R"({"id":1,"jsonrpc":"2.0","method":"tools/list","params":null})");
    std::vector<std::pair<std::string, std::string>> expected_headers = {
        {"host", "localhost"},
        {"content-type", "application/json"},
        {"accept", "application/json, text/event-stream"},
        {"content-length", "60"},
        {"connection", "close"},
        {"x-api-key", "websearch-secret-0123456789"}};
    EXPECT_EQ(seen[0].headers, expected_headers);

    next.status = 500;
    next.body = std::string(499, 'e') + "\u00e9" + std::string(100, 'f');
    auto failed = mcp_call(kr, "websearch", "tools/call", SJson{{"name", "x"}});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.message(), "MCP call failed (HTTP 500): " + std::string(499, 'e') + "\u00e9");

    // A reply that is no valid UTF-8 is read leniently.
    next.status = 200;
    next.body = "ok \xff";
    auto lossy = mcp_call(kr, "websearch", "tools/call", SJson::object());
    ASSERT_TRUE(lossy);
    EXPECT_EQ(*lossy, "ok \xef\xbf\xbd");

    size_t before = seen.size();
    auto blocked = mcp_call(kr, "websearch", "tools/call", SJson{{"q", "websearch-secret-0123456789"}});
    ASSERT_FALSE(blocked);
    EXPECT_EQ(blocked.message(), "blocked: a stored credential appeared in outbound content");
    EXPECT_EQ(seen.size(), before);
  });
}
