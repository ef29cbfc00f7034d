// The console's settings readers and the archive list, as launch sees them.
#include <sys/stat.h>

#include <thread>

#include <gtest/gtest.h>

#include "fixture.hpp"
#include "host/src/console/archives.hpp"
#include "host/src/console/features.hpp"
#include "host/src/console/llm.hpp"
#include "host/src/console/policy.hpp"
#include "host/src/console/vault.hpp"

using drovix::OJson;
using namespace drovix::host;
using namespace sessions_test;

namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { reset_state(); }
  std::string certs(const std::string& f) { return home().certs + "/" + f; }
};

TEST_F(Settings, PolicyDefaultsAndLenientValues) {
  EXPECT_EQ(read_policy().to_json().dump(),
            R"({"confidential_internal":false,"subagent_profile":"same","export_grant":true,"document_reader":true})");

  struct Case {
    const char* file;
    const char* expected;
  } cases[] = {
      {R"({"subagent_profile": "Research", "export_grant": 0, "extra": 1})",
       R"({"confidential_internal":false,"subagent_profile":"same","export_grant":false,"document_reader":true})"},
      {R"({"subagent_profile": "research", "confidential_internal": "no", "document_reader": null})",
       R"({"confidential_internal":true,"subagent_profile":"research","export_grant":true,"document_reader":false})"},
      {R"([1, 2])",
       R"({"confidential_internal":false,"subagent_profile":"same","export_grant":true,"document_reader":true})"},
      {"not json",
       R"({"confidential_internal":false,"subagent_profile":"same","export_grant":true,"document_reader":true})"},
  };
  for (const auto& c : cases) {
    write_file(certs("policy.json"), c.file);
    EXPECT_EQ(read_policy().to_json().dump(), c.expected) << c.file;
  }
}

TEST_F(Settings, FeaturesMissingSwitchesAreShown) {
  EXPECT_EQ(read_features().to_json().dump(),
            R"({"onedrive":true,"datalake":true,"web":true,"audit":true,"skills":true,"subagents":true,"archive":true})");
  write_file(certs("features.json"), R"({"web": false, "skills": 0, "archive": "", "audit": "no", "x": false})");
  EXPECT_EQ(
      read_features().to_json().dump(),
      R"({"onedrive":true,"datalake":true,"web":false,"audit":true,"skills":false,"subagents":true,"archive":false})");
}

TEST_F(Settings, LlmSettingsReading) {
  auto s = load_llm_settings();
  EXPECT_EQ(s.enabled, std::vector<std::string>{"anthropic"});
  EXPECT_EQ(s.chosen, "anthropic");
  EXPECT_EQ(s.bedrock.dump(), R"({"region":"us-east-2","model":"us.anthropic.claude-sonnet-5","key":"","checked":""})");
  EXPECT_EQ(s.private_settings.dump(), R"({"host":"","model":"qwen3:14b","key":"","checked":""})");
  EXPECT_EQ(provider_label(s), "Anthropic API");

  struct Case {
    const char* file;
    std::vector<std::string> enabled;
    const char* chosen;
    const char* label;
  } cases[] = {
      // A single "provider" stands in for enabled and default; the model
      // without a key falls back to the default.
      {R"({"provider": "bedrock", "bedrock": {"key": "k", "model": "m"}})", {"bedrock"}, "bedrock",
       "Bedrock us-east-2"},
      // Fixed order, and a server without a key is never enabled.
      {R"({"enabled": ["private", "anthropic"], "private": {"host": "llm.corp.example", "key": ""}})", {"anthropic"},
       "anthropic", "Anthropic API"},
      {R"({"enabled": ["private", "anthropic"], "default": "private", "private": {"host": "llm.corp.example", "model": "q", "key": "k"}})",
       {"anthropic", "private"}, "private", "llm.corp.example \u00b7 q"},
      // A default that is not enabled gives the first enabled one.
      {R"({"enabled": ["bedrock"], "default": "private", "bedrock": {"key": "k", "region": "eu-west-1"}})",
       {"bedrock"}, "bedrock", "Bedrock eu-west-1"},
  };
  for (const auto& c : cases) {
    write_file(certs("llm.json"), c.file);
    auto got = load_llm_settings();
    EXPECT_EQ(got.enabled, c.enabled) << c.file;
    EXPECT_EQ(got.chosen, c.chosen) << c.file;
    EXPECT_EQ(provider_label(got), c.label) << c.file;
  }
  write_file(certs("llm.json"), R"({"provider": "bedrock", "bedrock": {"key": "k", "model": "m"}})");
  EXPECT_EQ(load_llm_settings().bedrock["model"], "m");
}

TEST_F(Settings, VaultReplaceOrAdd) {
  EXPECT_FALSE(load_vault("mcp:datalake"));
  save_vault_entry({{"service_id", "mcp:datalake"}, {"secret", "a"}});
  struct stat st;
  ASSERT_EQ(::stat(certs("vault.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(load_vault("mcp:datalake"));
  EXPECT_FALSE(load_vault("MCP:DATALAKE"));

  write_file(certs("vault.json"),
             R"([{"service_id":"onedrive"},{"service_id":"mcp:datalake"},{"service_id":"mcp:websearch"},{"service_id":"mcp:websearch"},{"x":1}])");
  save_vault_entry({{"service_id", "mcp:datalake"}, {"secret", "b"}});
  save_vault_entry({{"service_id", "mcp:websearch"}, {"secret", "c"}});
  EXPECT_EQ(read_json(certs("vault.json")).dump(),
            R"([{"service_id":"onedrive"},{"x":1},{"service_id":"mcp:datalake","secret":"b"},{"service_id":"mcp:websearch","secret":"c"}])");

  write_file(certs("vault.json"), R"({"service_id":"mcp:datalake"})");
  EXPECT_FALSE(load_vault("mcp:datalake"));
}

// Concurrent writers of different services must not lose each other's
// entries.
TEST_F(Settings, VaultConcurrentWritersKeepEveryEntry) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 16; ++i)
    threads.emplace_back([i] { save_vault_entry({{"service_id", "svc" + std::to_string(i)}}); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(read_vault().size(), 16u);
}

TEST_F(Settings, ArchivesGroupedByNameNewestFirst) {
  const std::string dir = home().dir + "/appliance-snapshots";
  EXPECT_EQ(list_archives().dump(), "[]");  // and the folder is made
  struct stat st;
  EXPECT_EQ(::stat(dir.c_str(), &st), 0);

  for (const char* f : {"q3-review__20250101T090000.blob", "old__20250101T000000.blob", "notes.txt",
                        "q3-review.blob", "q3-review__20250102T090000.blob", "a__b__20250103T000000.blob",
                        "__20241231T000000.blob", "x__.blob"})
    write_file(dir + "/" + f, "sealed");
  OJson list = list_archives();
  EXPECT_EQ(list.dump(),
            R"([{"name":"a__b","versions":1,"timestamp":"20250103T000000","file":"a__b__20250103T000000.blob"},)"
            R"({"name":"q3-review","versions":2,"timestamp":"20250102T090000","file":"q3-review__20250102T090000.blob"},)"
            R"({"name":"old","versions":1,"timestamp":"20250101T000000","file":"old__20250101T000000.blob"},)"
            R"({"name":"","versions":1,"timestamp":"20241231T000000","file":"__20241231T000000.blob"},)"
            R"({"name":"x","versions":1,"timestamp":"","file":""}])");
}

}  // namespace
