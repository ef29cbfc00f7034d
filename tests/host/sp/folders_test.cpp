#include <gtest/gtest.h>

#include "common/json.hpp"
#include "fixture.hpp"
#include "host/src/sp/folders.hpp"
#include "host/src/sp/sharepoint.hpp"
#include "tests/testbed/testbed.hpp"

using drovix::OJson;
using namespace drovix::host;
using peers::GraphPeer;
using namespace sp_test;

namespace {

void quiet_cycle() {
  ::testing::internal::CaptureStdout();
  (void)spdrive_cycle([](std::chrono::seconds) {});
  (void)::testing::internal::GetCapturedStdout();
}

// The library known from one successful renewal, its token in vault.json.
class Folders : public ::testing::Test {
 protected:
  void SetUp() override {
    reset();
    quiet_cycle();
    ASSERT_TRUE(sharepoint_state().available);
    peer().clear_requests();
  }
};

OJson reply_body() {
  auto resp = sharepoint_folders_reply(HttpRequest{});
  EXPECT_EQ(resp.status, 200);
  EXPECT_STREQ(resp.content_type, "application/json");
  return drovix::parse_json<OJson>(resp.body).value_or(OJson());
}

std::string listing_error() {
  auto r = list_sharepoint_folders();
  return r.ok() ? "(listed)" : r.message();
}

}  // namespace

TEST_F(Folders, StoredTokenListsFoldersSortedByLowerCasedName) {
  peer().set_children(nlohmann::json::parse(R"([
    {"name":"beta","folder":{"childCount":3},"size":300},
    {"name":"report.pdf","file":{"mimeType":"application/pdf"},"size":10},
    {"name":"Alpha","folder":{"childCount":1},"size":100},
    {"name":"\u00c9b","folder":{"childCount":2},"size":20},
    {"name":"alpha","folder":{},"size":-5},
    {"name":"\u00e9a","folder":null,"size":1.5},
    {"folder":{"childCount":9223372036854775808},"size":2e3},
    {"name":7,"folder":{"childCount":"4"},"size":12}
  ])"));
  OJson body = reply_body();
  std::string expected = std::string(R"({"sites":[{"id":")") + kSite + R"(","name":"Finance"}],"folders":[)" +
                         R"({"name":"","items":0,"bytes":0},{"name":"","items":0,"bytes":12},)"
                         R"({"name":"Alpha","items":1,"bytes":100},{"name":"alpha","items":0,"bytes":-5},)"
                         R"({"name":"beta","items":3,"bytes":300},)"
                         "{\"name\":\"\xC3\xA9" "a\",\"items\":0,\"bytes\":0},"
                         "{\"name\":\"\xC3\x89" "b\",\"items\":2,\"bytes\":20}]}";
  EXPECT_EQ(drovix::to_compact(body), expected);

  // One Graph read with the stored token, no token request.
  auto seen = peer().requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, std::string("/v1.0/drives/") + kDrive + "/root/children?$select=name,folder,size&$top=999");
  EXPECT_EQ(seen[0].authorization, "Bearer " + peer().issued_tokens().at(0));
}

TEST_F(Folders, RefusedStoredTokenIsRetriedWithFreshOnes) {
  const std::string vault = testbed::read_text(home().vault_path);
  peer().revoke_tokens();
  peer().set_children(nlohmann::json::parse(R"([{"name":"Deals","folder":{"childCount":2},"size":9}])"));
  auto folders = list_sharepoint_folders();
  ASSERT_TRUE(folders.ok()) << folders.message();
  ASSERT_EQ(folders->size(), 1u);
  EXPECT_EQ((*folders)[0].name, "Deals");
  EXPECT_EQ(peer().requests(GraphPeer::Route::Children).size(), 2u);
  EXPECT_EQ(peer().requests(GraphPeer::Route::Token).size(), 1u);
  // The fresh token served this listing only.
  EXPECT_EQ(testbed::read_text(home().vault_path), vault);
}

TEST_F(Folders, WithoutStoredTokenTwoFreshTries) {
  testbed::write_text(home().vault_path, R"([{"service_id":"mcp:datalake","secret":"s"}])");
  for (int i = 0; i < 2; ++i) peer().script(GraphPeer::Route::Children, {503, "try later"});
  // A 5xx is passed on as it is.
  EXPECT_EQ(listing_error(), "HTTP Error 503: try later");
  auto children = peer().requests(GraphPeer::Route::Children);
  auto tokens = peer().issued_tokens();
  ASSERT_EQ(children.size(), 2u);
  ASSERT_EQ(tokens.size(), 3u);  // the renewal's, then one per try
  EXPECT_EQ(children[0].authorization, "Bearer " + tokens[1]);
  EXPECT_EQ(children[1].authorization, "Bearer " + tokens[2]);
}

TEST_F(Folders, FailureMessages) {
  GraphPeer::Scripted drop;
  drop.drop = true;
  for (int i = 0; i < 3; ++i) peer().script(GraphPeer::Route::Children, drop);
  EXPECT_EQ(listing_error(), "Microsoft didn't answer just now");
  EXPECT_EQ(peer().requests(GraphPeer::Route::Children).size(), 3u);

  // The last try's token failure is the answer.
  peer().revoke_tokens();
  peer().script(GraphPeer::Route::Token, {400, R"({"error_description":"AADSTS1: first"})"});
  peer().script(GraphPeer::Route::Token, {400, R"({"error_description":"AADSTS2: second\nmore"})"});
  EXPECT_EQ(listing_error(), "token refused: AADSTS2: second");

  peer().revoke_tokens();
  for (int i = 0; i < 3; ++i) peer().script(GraphPeer::Route::Children, {403, std::string(300, 'z')});
  OJson body = reply_body();
  EXPECT_EQ(drovix::to_compact(body), "{\"error\":\"HTTP Error 403: " + std::string(120, 'z') + "\"}");
}

TEST_F(Folders, BeforeAnySuccessfulRenewal) {
  reset_sharepoint_state();
  peer().clear_requests();
  EXPECT_EQ(listing_error(), "can't reach the SharePoint library: ");
  EXPECT_TRUE(peer().requests().empty());

  peer().script(GraphPeer::Route::Token, {401, R"({"error_description":"AADSTS700027: nope"})"});
  quiet_cycle();
  peer().clear_requests();
  EXPECT_EQ(drovix::to_compact(reply_body()),
            R"({"error":"can't reach the SharePoint library: token refused: AADSTS700027: nope"})");
  EXPECT_TRUE(peer().requests().empty());

  // A long message is cut to 240 characters in the reply.
  std::string long_text(300, 'q');
  peer().script(GraphPeer::Route::Token, {401, "{\"error_description\":\"" + long_text + "\"}"});
  quiet_cycle();
  auto body = reply_body();
  EXPECT_EQ(body["error"].get<std::string>().size(), 240u);
}

TEST_F(Folders, SiteEntryNamesTheSite) {
  EXPECT_EQ(drovix::to_compact(sharepoint_site_entry()), std::string(R"([{"id":")") + kSite + R"(","name":"Finance"}])");
  peer().set_site(kSite, "", kDrive, "Documents");
  quiet_cycle();
  EXPECT_EQ(drovix::to_compact(sharepoint_site_entry()),
            std::string(R"([{"id":")") + kSite + R"(","name":"SharePoint site"}])");
}
