#include "agent/src/main/sharepoint_upload.hpp"

#include <gtest/gtest.h>

#include "tests/agent/model/model_fixture.hpp"

using namespace drovix;
using namespace drovix::agent;
using modeltest::entry;

namespace {

constexpr const char* kGraphToken = "graph-relay-token-0123456789";

class SharePointUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("OD_DRIVE");
    peer_ = modeltest::start_peer();
    ASSERT_TRUE(peer_);
    connect_ = modeltest::peer_connector(peer_->port());
    keyring_insert(kr_, "onedrive",
                   entry(modeltest::kGraphHost, "/", "/relay/graph", "x-drovix-relay", "", kGraphToken));
  }
  Result<std::string> upload(const std::string& path, const std::string& bytes,
                             const ServiceConnector* connect = nullptr) {
    return sharepoint_upload_in(kr_, "Reports/2026", path, bytes, "text/markdown", connect ? *connect : connect_);
  }

  Keyring kr_;
  std::unique_ptr<peers::ModelPeer> peer_;
  ServiceConnector connect_;
};

}  // namespace

TEST_F(SharePointUpload, SavedWithAndWithoutLink) {
  struct Case {
    const char* name;
    std::string reply;
    std::string want;
  };
  const Case cases[] = {
      {"201 with webUrl",
       peers::graph_upload_response(201, "P&L.md", "https://contoso.sharepoint.com/Reports/2026/q3/P&L.md"),
       "Saved Reports/2026/q3/P&L.md to SharePoint. Link: https://contoso.sharepoint.com/Reports/2026/q3/P&L.md"},
      {"200 without webUrl", peers::graph_upload_response(200, "P&L.md", ""), "Saved Reports/2026/q3/P&L.md to SharePoint."},
      {"2xx that is not JSON", peers::http_response(202, "text/plain", "accepted"),
       "Saved Reports/2026/q3/P&L.md to SharePoint."},
  };
  size_t n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    peer_->push(peers::Reply().send(c.reply));
    auto r = upload(" /q3/P&L.md ", "# Q3\n");
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(*r, c.want);
    ASSERT_TRUE(peer_->wait_requests(++n));
  }
  EXPECT_EQ(peer_->requests()[0].raw,
            std::string("PUT /relay/graph/v1.0/me/drive/root:/Reports/2026/q3/P%26L.md:/content HTTP/1.1\r\n") +
                "host: graph.microsoft.com\r\ncontent-type: text/markdown\r\ncontent-length: 5\r\n"
                "connection: close\r\nx-drovix-relay: " + kGraphToken + "\r\n\r\n# Q3\n");
}

TEST_F(SharePointUpload, Failures) {
  int connects = 0;
  ServiceConnector counting = [&](const std::string& ip, const std::string& host) {
    ++connects;
    return connect_(ip, host);
  };

  peer_->push(peers::Reply().send(peers::http_response(
      403, "application/json", R"({"error":{"code":"accessDenied","message":"Access denied"}})")));
  auto r = upload("q3.md", "x", &counting);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "SharePoint save failed (HTTP 403)");
  EXPECT_EQ(connects, 1);

  r = upload("../q3.md", "x", &counting);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "'../q3.md' isn't a path inside this agent's SharePoint folder");

  r = upload("q3.md", std::string("token ") + kGraphToken, &counting);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "blocked: a stored credential appeared in outbound content");

  Keyring none;
  r = sharepoint_upload_in(none, "", "q3.md", "x", "text/markdown", counting);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "SharePoint not connected");
  EXPECT_EQ(connects, 2) << "only the 403 and the refused upload connected";
}

// The real connection path inside a namespace of the test's own: the
// gateway address 10.0.9.1:443, the test CA from /certs/ca.pem, and the
// SharePoint root from /certs/appliance.json.
TEST(AgentEgress, ModelCallAndUploadThroughTheGatewayAddress) {
  testbed::TempDir certs;
  testbed::write_text(certs / "ca.pem", testbed::read_text(modeltest::test_ca().ca_pem));
  testbed::write_text(certs / "appliance.json", R"({"sharepoint_root": " /Finance/Reports/ "})");
  modeltest::with_certs(certs.path(), [] {
    ASSERT_EQ(testbed::sh("ip addr add 10.0.9.1/32 dev lo"), 0);
    auto peer = modeltest::start_peer("10.0.9.1:443");
    ASSERT_TRUE(peer);
    Keyring kr;
    KeyringEntry e = entry(modeltest::kAnthropicHost, "/", "/relay/anthropic", "x-drovix-relay", "", "tok-0123456789abcdef");
    e.ip = "10.0.9.1";
    keyring_insert(kr, "anthropic", e);
    e = entry(modeltest::kGraphHost, "/", "/relay/graph", "x-drovix-relay", "", "tok-graph-0123456789");
    e.ip = "10.0.9.1";
    keyring_insert(kr, "onedrive", e);

    peer->push(peers::Reply().send(peers::http_response(200, "application/json",
                                                        peers::messages_reply("from the gateway", 3, 4).dump())));
    SJson body = {{"model", "m"}, {"max_tokens", 10}, {"messages", SJson::array({{{"role", "user"}, {"content", "hi"}}})}};
    auto reply = call_model(kr, body, "messages");
    ASSERT_TRUE(reply.ok()) << reply.message();
    EXPECT_EQ((*reply)["content"][0]["text"], "from the gateway");

    peer->push(peers::Reply().send(peers::graph_upload_response(201, "a.md", "https://sp.example/a.md")));
    auto saved = sharepoint_upload(kr, "q3/a.md", "x", "text/markdown");
    ASSERT_TRUE(saved.ok()) << saved.message();
    EXPECT_EQ(*saved, "Saved Finance/Reports/q3/a.md to SharePoint. Link: https://sp.example/a.md");
    ASSERT_TRUE(peer->wait_requests(2));
    EXPECT_EQ(peer->requests()[1].request_line,
              "PUT /relay/graph/v1.0/me/drive/root:/Finance/Reports/q3/a.md:/content HTTP/1.1");
  });
}
