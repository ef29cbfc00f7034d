// A host whose configuration names no Entra tenant, client or site: no
// SharePoint access is attempted at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/json.hpp"
#include "host/src/sp/folders.hpp"
#include "host/src/sp/sharepoint.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::host;

namespace {

class BareHome : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/drovix-sp-unset-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::filesystem::create_directories(dir_ + "/fleetcerts");
    // The tenant and client alone are not enough.
    testbed::write_text(dir_ + "/fleetcerts/host.json",
                        R"({"hostname":"bare.test","entra_tenant":"t","entra_client":"c","login_host":"127.0.0.1:9"})");
    ::setenv("DROVIX_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::string dir_;
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new BareHome);

}  // namespace

TEST(SharePointUnset, ListingRefusesWithoutTouchingAnything) {
  EXPECT_FALSE(sharepoint_configured());
  auto folders = list_sharepoint_folders();
  ASSERT_FALSE(folders.ok());
  EXPECT_EQ(folders.message(), "SharePoint isn't set up on this host");
  auto resp = sharepoint_folders_reply(HttpRequest{});
  EXPECT_EQ(resp.status, 200);
  EXPECT_EQ(resp.body, R"({"error":"SharePoint isn't set up on this host"})");
  EXPECT_EQ(drovix::to_compact(sharepoint_site_entry()), R"([{"id":"","name":"SharePoint site"}])");
  EXPECT_EQ(sharepoint_drive_path(), "");
}
