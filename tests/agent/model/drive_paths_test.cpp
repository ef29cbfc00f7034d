#include "agent/src/main/drive_paths.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace drovix;
using namespace drovix::agent;

TEST(DriveItemPath, Addresses) {
  unsetenv("OD_DRIVE");
  struct Case {
    const char* root;
    const char* path;
    const char* want;  // address, or the refused path
    bool ok;
  };
  const Case cases[] = {
      {"Reports/2026", " /q3/summary.md/ ", "/v1.0/me/drive/root:/Reports/2026/q3/summary.md:", true},
      {"Reports/2026", "", "/v1.0/me/drive/root:/Reports/2026:", true},
      {"", "  / ", "/v1.0/me/drive/root", true},
      {"", "Q3 P&L.xlsx", "/v1.0/me/drive/root:/Q3%20P%26L.xlsx:", true},
      {"", "Résumé/é~x_y-z.md", "/v1.0/me/drive/root:/R%C3%A9sum%C3%A9/%C3%A9~x_y-z.md:", true},
      {"Team Docs", "a+b#c?.md", "/v1.0/me/drive/root:/Team%20Docs/a%2Bb%23c%3F.md:", true},
      {"", "..a/a.", "/v1.0/me/drive/root:/..a/a.:", true},
      {"", "a/../b", "a/../b", false},
      {"", "./a", "./a", false},
      {"", "a//b", "a//b", false},
      {"", " /a/./b/ ", "a/./b", false},
      {"", "C:\\x", "C:\\x", false},
      {"", "a:b", "a:b", false},
      {"", "a\\b", "a\\b", false},
      {"", "..", "..", false},
  };
  for (const auto& c : cases) {
    auto r = drive_item_path_in(c.root, c.path);
    if (c.ok) {
      ASSERT_TRUE(r.ok()) << c.path << ": " << r.message();
      EXPECT_EQ(*r, c.want) << c.path;
    } else {
      ASSERT_FALSE(r.ok()) << c.path;
      EXPECT_EQ(r.message(), std::string("'") + c.want + "' isn't a path inside this agent's SharePoint folder");
    }
  }

  setenv("OD_DRIVE", "/v1.0/drives/b!abc", 1);
  EXPECT_EQ(*drive_item_path_in("", "x.md"), "/v1.0/drives/b!abc/root:/x.md:");
  EXPECT_EQ(*drive_item_path_in("", ""), "/v1.0/drives/b!abc/root");
  setenv("OD_DRIVE", "", 1);
  EXPECT_EQ(drive_root(), "/v1.0/me/drive");
  unsetenv("OD_DRIVE");
}

TEST(DriveItemPath, RootPathAndEncoding) {
  EXPECT_EQ(sharepoint_root_path_in("Reports/2026", " /q3/a.md/ "), "Reports/2026/q3/a.md");
  EXPECT_EQ(sharepoint_root_path_in("Reports/2026", " / "), "Reports/2026");
  EXPECT_EQ(sharepoint_root_path_in("", "/x/"), "x");
  EXPECT_EQ(percent_encode("AZaz09-._~ /%"), "AZaz09-._~%20%2F%25");
  EXPECT_EQ(percent_encode_chars("é x"), "%C3%A9%20x");
  EXPECT_EQ(percent_encode_chars(""), "");
}
