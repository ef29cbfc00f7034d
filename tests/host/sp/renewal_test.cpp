#include <gtest/gtest.h>

#include <vector>

#include "common/json.hpp"
#include "fixture.hpp"
#include "host/src/sp/sharepoint.hpp"
#include "tests/testbed/testbed.hpp"

using drovix::OJson;
using namespace drovix::host;
using peers::GraphPeer;
using namespace sp_test;
using std::chrono::seconds;

namespace {

struct CycleRun {
  seconds next{0};
  std::vector<seconds> pauses;
  std::string out;
};

// One renewal cycle with the pauses recorded instead of slept.
CycleRun run_cycle() {
  CycleRun run;
  ::testing::internal::CaptureStdout();
  run.next = spdrive_cycle([&](seconds s) { run.pauses.push_back(s); });
  run.out = ::testing::internal::GetCapturedStdout();
  return run;
}

GraphPeer::Scripted dropped() {
  GraphPeer::Scripted s;
  s.drop = true;
  return s;
}

class Renewal : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
};

}  // namespace

TEST_F(Renewal, SuccessfulCycleStoresTheTokenAndTheLibrary) {
  // The other entries keep their place and bytes; every "onedrive" entry
  // goes and the new one comes last.
  testbed::write_text(home().vault_path,
                      R"([{"service_id":"onedrive","secret":"old-1"},)"
                      R"({"service_id":"mcp:datalake","host":"10.0.9.5","secret":"s"},)"
                      R"({"service_id":7,"secret":"x"},{"service_id":"onedrive","secret":"old-2"}])");
  auto run = run_cycle();
  EXPECT_EQ(run.next, seconds(2400));
  EXPECT_TRUE(run.pauses.empty());
  EXPECT_EQ(run.out, "[drovix-host] SharePoint library: Finance / Documents\n");

  ASSERT_EQ(peer().issued_tokens().size(), 1u);
  const std::string token = peer().issued_tokens()[0];
  EXPECT_EQ(testbed::read_text(home().vault_path),
            R"([{"service_id":"mcp:datalake","host":"10.0.9.5","secret":"s"},{"service_id":7,"secret":"x"},)"
            R"({"service_id":"onedrive","host":")" + home().peer_host +
                R"(","header":"authorization","prefix":"Bearer ","secret":")" + token + "\"}]");
  EXPECT_EQ(file_mode(home().vault_path), 0600u);

  auto site = peer().requests(GraphPeer::Route::Site);
  auto drive = peer().requests(GraphPeer::Route::Drive);
  ASSERT_EQ(site.size(), 1u);
  ASSERT_EQ(drive.size(), 1u);
  EXPECT_EQ(site[0].target, std::string("/v1.0/sites/") + kSite + "?$select=displayName,webUrl");
  EXPECT_EQ(drive[0].target, std::string("/v1.0/sites/") + kSite + "/drive?$select=id,name,webUrl");
  EXPECT_EQ(site[0].authorization, "Bearer " + token);

  auto s = sharepoint_state();
  EXPECT_TRUE(s.available);
  EXPECT_FALSE(s.network_failure);
  EXPECT_EQ(s.last_error, "");
  EXPECT_EQ(s.site_name, "Finance");
  EXPECT_EQ(s.library_name, "Documents");
  EXPECT_EQ(s.drive_id, kDrive);
  EXPECT_EQ(sharepoint_drive_path(), std::string("/v1.0/drives/") + kDrive);
}

TEST_F(Renewal, VaultFileShapes) {
  // Missing: created with the one entry, private.
  ASSERT_TRUE(refresh_sharepoint().ok());
  auto list = drovix::parse_json<OJson>(testbed::read_text(home().vault_path));
  ASSERT_TRUE(list && list->is_array());
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0]["service_id"], "onedrive");
  EXPECT_EQ(file_mode(home().vault_path), 0600u);

  // Valid JSON that is not a list is somebody else's file: left alone, and
  // the refresh still succeeds.
  testbed::write_text(home().vault_path, R"({"service_id":"onedrive"})");
  EXPECT_TRUE(refresh_sharepoint().ok());
  EXPECT_EQ(testbed::read_text(home().vault_path), R"({"service_id":"onedrive"})");
  EXPECT_TRUE(sharepoint_state().available);
}

TEST_F(Renewal, NetworkFailuresBeforeAnySuccess) {
  for (int i = 0; i < 3; ++i) peer().script(GraphPeer::Route::Token, dropped());
  auto run = run_cycle();
  EXPECT_EQ(run.pauses, (std::vector<seconds>{seconds(2), seconds(5)}));
  EXPECT_EQ(peer().requests(GraphPeer::Route::Token).size(), 3u);
  EXPECT_EQ(run.next, seconds(120));
  auto s = sharepoint_state();
  EXPECT_FALSE(s.available);
  EXPECT_FALSE(s.network_failure);
  EXPECT_NE(s.last_error.find("Network Error"), std::string::npos) << s.last_error;
  EXPECT_EQ(run.out, "[spdrive] refresh failed: " + s.last_error + "\n" +
                         "[drovix-host] SharePoint library NOT available: " + s.last_error + "\n");
  EXPECT_EQ(sharepoint_drive_path(), "");

  // A failure on the first try that clears on the second.
  peer().script(GraphPeer::Route::Drive, {502, "bad gateway"});
  run = run_cycle();
  EXPECT_EQ(run.pauses, std::vector<seconds>{seconds(2)});
  EXPECT_EQ(run.next, seconds(2400));
  EXPECT_TRUE(sharepoint_state().available);
}

TEST_F(Renewal, NetworkFailureAfterSuccessKeepsTheToken) {
  ASSERT_EQ(run_cycle().next, seconds(2400));
  const std::string vault = testbed::read_text(home().vault_path);

  for (int i = 0; i < 3; ++i) peer().script(GraphPeer::Route::Site, {503, "unavailable"});
  auto run = run_cycle();
  EXPECT_EQ(run.pauses, (std::vector<seconds>{seconds(2), seconds(5)}));
  EXPECT_EQ(run.next, seconds(120));
  EXPECT_EQ(run.out,
            "[spdrive] renewal failed on the network, keeping the current token and retrying in 2 minutes: "
            "HTTP Error 503: unavailable\n"
            "[drovix-host] SharePoint library: Finance / Documents\n");
  auto s = sharepoint_state();
  EXPECT_TRUE(s.available);
  EXPECT_TRUE(s.network_failure);
  EXPECT_EQ(s.last_error, "");
  EXPECT_EQ(testbed::read_text(home().vault_path), vault);

  run = run_cycle();
  EXPECT_EQ(run.next, seconds(2400));
  EXPECT_FALSE(sharepoint_state().network_failure);
}

TEST_F(Renewal, OtherFailuresMarkTheLibraryUnavailableAtOnce) {
  ASSERT_EQ(run_cycle().next, seconds(2400));

  std::string body(300, 'x');
  peer().script(GraphPeer::Route::Site, {401, body});
  auto run = run_cycle();
  EXPECT_TRUE(run.pauses.empty());
  EXPECT_EQ(run.next, seconds(120));
  auto s = sharepoint_state();
  EXPECT_FALSE(s.available);
  EXPECT_FALSE(s.network_failure);
  EXPECT_EQ(s.last_error, "HTTP Error 401: " + body.substr(0, 120));
  EXPECT_EQ(run.out, "[spdrive] refresh failed: " + s.last_error + "\n" +
                         "[drovix-host] SharePoint library NOT available: " + s.last_error + "\n");
  // The last known library is still offered.
  EXPECT_EQ(sharepoint_drive_path(), std::string("/v1.0/drives/") + kDrive);

  struct Case {
    const char* what;
    GraphPeer::Route route;
    GraphPeer::Scripted reply;
    std::string error;  // "" checks only that it is the JSON reader's message
  } cases[] = {
      {"token refused", GraphPeer::Route::Token, {400, R"({"error_description":"AADSTS7000215: bad\r\nTrace"})"},
       "token refused: AADSTS7000215: bad"},
      {"other 2xx", GraphPeer::Route::Drive, {204, ""}, "HTTP Error 204: "},
      {"200 that is not JSON", GraphPeer::Route::Site, {200, "<html>"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    peer().script(c.route, c.reply);
    auto r = run_cycle();
    EXPECT_TRUE(r.pauses.empty());
    auto st = sharepoint_state();
    EXPECT_FALSE(st.available);
    if (c.error.empty())
      EXPECT_NE(st.last_error.find("parse error"), std::string::npos) << st.last_error;
    else
      EXPECT_EQ(st.last_error, c.error);
  }
}

TEST_F(Renewal, DriveWithoutIdStoresTheTokenButFails) {
  peer().set_site(kSite, "Finance", "", "Documents");
  auto r = refresh_sharepoint();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "drive without id");
  EXPECT_NE(testbed::read_text(home().vault_path).find(peer().issued_tokens().at(0)), std::string::npos);
  EXPECT_EQ(sharepoint_state().site_name, "");  // unchanged

  auto run = run_cycle();
  EXPECT_TRUE(run.pauses.empty());
  EXPECT_EQ(sharepoint_state().last_error, "drive without id");
  EXPECT_EQ(run.next, seconds(120));
}
