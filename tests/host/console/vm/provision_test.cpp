#include "host/src/console/provision.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

namespace fs = std::filesystem;
using testbed::read_text;
using testbed::write_text;

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
  return out;
}

unsigned mode_of(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

struct ProvisionFixture : ::testing::Test {
  testbed::TempDir home;
  HostConfig cfg;
  ProvisionRequest req;

  void SetUp() override {
    cfg.home = home.path();
    cfg.certs = home / "fleetcerts";
    cfg.hostname = "fleet.example";
    write_text(cfg.certs + "/fullchain.pem", "CHAIN");
    write_text(cfg.certs + "/privkey.pem", "KEY");
    write_text(cfg.certs + "/ca.pem", "CA");
    write_text(cfg.certs + "/policy-rules.json", R"({"rules":[]})");

    req.vm_dir = home / "vmstate/8002";
    req.log_path = req.vm_dir + "/webui.log";
    req.certs_dir = req.vm_dir + "/certs";
    req.port = 8002;
    req.slot = {8002, 2};
    req.provider = "anthropic";
    req.onedrive = "none";
    req.upstream = {{"anthropic", {{"host", "api.anthropic.com"}}}};
    req.provider_path = "/";
    req.services = {OJson::parse(
        R"({"service_id":"mcp:datalake","host":"fleet.example","ip":"10.0.9.1","header":"authorization","prefix":"Bearer ","secret":"s3cret"})")};
    req.options = OJson::parse(R"({"audit":true,"onedrive":"none","archive":"","mode":"new"})");
  }
};

// A slot that an earlier session left full of files: the new session's
// /certs holds exactly what this launch asks for.
TEST_F(ProvisionFixture, WritesExactlyTheListedFiles) {
  for (const char* stale : {"corpus.blob", "mcp.token", "anthropic.key", "sharepoint.dl", "bedrock.json",
                            "private.json", "skills.md", "parent_ws.json", "session.blob", "session.pass",
                            "recipes.json"}) {
    write_text(req.certs_dir + "/" + stale, "old");
  }
  write_text(req.log_path, "WEB LISTENING on 0.0.0.0:8443\n");
  write_text(cfg.home + "/skills.md", "skills");  // present, but skills are off

  auto files = write_vm_files(cfg, req);
  ASSERT_TRUE(files.ok()) << files.message();

  EXPECT_EQ(names_in(req.certs_dir),
            (std::set<std::string>{"fullchain.pem", "privkey.pem", "ca.pem", "creds.json", "appliance.json",
                                   "policy_rules.json", "flush.token"}));
  for (const auto& name : names_in(req.certs_dir)) EXPECT_EQ(mode_of(req.certs_dir + "/" + name), 0600u) << name;
  EXPECT_EQ(read_text(req.certs_dir + "/fullchain.pem"), "CHAIN");
  EXPECT_EQ(read_text(req.certs_dir + "/policy_rules.json"), R"({"rules":[]})");
  EXPECT_EQ(read_text(req.certs_dir + "/appliance.json"), R"({"audit":true,"onedrive":"none","archive":"","mode":"new"})");
  EXPECT_EQ(read_text(req.log_path), "");

  ASSERT_EQ(files->relay_token.size(), 48u);
  EXPECT_EQ(files->relay_token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(read_text(req.certs_dir + "/flush.token"), files->flush_token);
  EXPECT_EQ(files->flush_token.size(), 48u);

  const std::string relay_path = cfg.home + "/vmstate/8002/relay.json";
  EXPECT_EQ(mode_of(relay_path), 0600u);
  EXPECT_EQ(read_text(relay_path), R"({"token":")" + files->relay_token +
                                       R"(","provider":"anthropic","onedrive":"none","upstream":{"anthropic":{"host":"api.anthropic.com"}}})");
  EXPECT_EQ(read_text(req.certs_dir + "/creds.json"),
            R"([{"service_id":"mcp:datalake","host":"fleet.example","ip":"10.0.9.1","header":"authorization","prefix":"Bearer ","secret":"s3cret"},)"
            R"({"service_id":"anthropic","host":"fleet.example","ip":"10.0.9.1","header":"x-drovix-relay","prefix":"","path":"/","relay":"/relay/anthropic","secret":")" +
                files->relay_token + R"("}])");

  auto second = write_vm_files(cfg, req);
  ASSERT_TRUE(second.ok());
  EXPECT_NE(second->relay_token, files->relay_token);
  EXPECT_NE(second->flush_token, files->flush_token);
}

TEST_F(ProvisionFixture, ResumeSkillsHandoffAndSharePoint) {
  write_text(cfg.home + "/skills.md", "skills text");
  write_text(cfg.home + "/appliance-snapshots/q3-2.blob", "SEALED");
  write_text(cfg.certs + "/snapshot.pass", "PASS");
  write_text(cfg.certs + "/recipes.json", "[]");
  req.skills = true;
  req.resume_file = "q3-2.blob";
  req.handoff = OJson::parse(R"({"notes":[],"files":[{"path":"a.txt","text":"x","src":"sp"}]})");
  req.provider = "bedrock";
  req.provider_path = "/model/anthropic.claude-v9";
  req.onedrive = "rw";

  auto files = write_vm_files(cfg, req);
  ASSERT_TRUE(files.ok()) << files.message();
  EXPECT_EQ(read_text(req.certs_dir + "/skills.md"), "skills text");
  EXPECT_EQ(read_text(req.certs_dir + "/session.blob"), "SEALED");
  EXPECT_EQ(read_text(req.certs_dir + "/session.pass"), "PASS");
  EXPECT_EQ(read_text(req.certs_dir + "/recipes.json"), "[]");
  EXPECT_EQ(read_text(req.certs_dir + "/parent_ws.json"), R"({"notes":[],"files":[{"path":"a.txt","text":"x","src":"sp"}]})");

  auto creds = OJson::parse(read_text(req.certs_dir + "/creds.json"));
  ASSERT_EQ(creds.size(), 3u);
  EXPECT_EQ(creds[1]["service_id"], "bedrock");
  EXPECT_EQ(creds[1]["path"], "/model/anthropic.claude-v9");
  EXPECT_EQ(creds[1]["relay"], "/relay/bedrock");
  EXPECT_EQ(creds[2], OJson::parse(R"({"service_id":"onedrive","host":"fleet.example","ip":"10.0.9.1","header":"x-drovix-relay","prefix":"","path":"/","relay":"/relay/graph","secret":")" +
                                   files->relay_token + R"("})"));

  // The archive was deleted, or the pass phrase is missing: the session
  // starts without either file.
  for (const std::string& gone : {cfg.home + "/appliance-snapshots/q3-2.blob", cfg.certs + "/snapshot.pass"}) {
    write_text(cfg.home + "/appliance-snapshots/q3-2.blob", "SEALED");
    write_text(cfg.certs + "/snapshot.pass", "PASS");
    fs::remove(gone);
    ASSERT_TRUE(write_vm_files(cfg, req).ok());
    EXPECT_FALSE(fs::exists(req.certs_dir + "/session.blob")) << gone;
    EXPECT_FALSE(fs::exists(req.certs_dir + "/session.pass")) << gone;
  }
}

TEST_F(ProvisionFixture, AnUnreadableSourceFailsWithItsError) {
  fs::remove(cfg.certs + "/privkey.pem");
  fs::create_directories(cfg.certs + "/privkey.pem");  // present, but cannot be read as a file
  auto files = write_vm_files(cfg, req);
  ASSERT_FALSE(files.ok());
  EXPECT_NE(files.message().find("directory"), std::string::npos) << files.message();
  EXPECT_FALSE(fs::exists(req.certs_dir + "/creds.json")) << "later steps do not run";
}

TEST(ModelId, OnlyThePrivateServerChangesIt) {
  LlmChoice llm;
  llm.chosen = "bedrock";
  llm.private_settings = {{"model", "llama"}};
  EXPECT_EQ(vm_model_id(llm), "claude-sonnet-5");
  llm.chosen = "private";
  EXPECT_EQ(vm_model_id(llm), "llama");
  llm.private_settings = {{"model", 7}};
  EXPECT_EQ(vm_model_id(llm), "");
}

TEST(Lookups, FindByNameAndFindService) {
  auto list = OJson::parse(
      R"([{"name":7},"x",{"name":"q3","file":"a"},{"name":"q3","file":"b"},{"service_id":"mcp:web","n":1},{"service_id":"mcp:web","n":2}])");
  EXPECT_EQ(find_by_name(list, "q3"), OJson::parse(R"({"name":"q3","file":"a"})"));
  EXPECT_EQ(find_by_name(list, "q4"), std::nullopt);
  auto found = find_service(list, "mcp:web");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1]["n"], 2);
  EXPECT_TRUE(find_service(list, "mcp:datalake").empty());
  EXPECT_TRUE(find_service(OJson::object(), "mcp:web").empty());
}

}  // namespace
}  // namespace drovix::host
