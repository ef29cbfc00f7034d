// The launch checks: refusals with their texts and order, the features an
// administrator hides, labels and the policy, the pool and the slot.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "fixture.hpp"
#include "host/src/console/launch_checks.hpp"
#include "host/src/console/registry.hpp"

using drovix::OJson;
using namespace drovix::host;
using namespace sessions_test;

namespace {

class LaunchChecks : public ::testing::Test {
 protected:
  void SetUp() override { reset_state(); }
  static std::string certs(const std::string& f) { return home().certs + "/" + f; }
  static std::string snapshots(const std::string& f) { return home().dir + "/appliance-snapshots/" + f; }

  static std::string refusal(const std::string& body, const std::string& user = "ann",
                             const std::optional<SubAgentLaunch>& sub = std::nullopt) {
    auto r = check_launch_request(OJson::parse(body), user, sub);
    return r ? std::string("<passed>") : r.message();
  }
  static void connect_all() {
    write_json(certs("vault.json"), OJson::parse(R"([{"service_id":"onedrive"},
      {"service_id":"mcp:datalake","host":"drovix.test","ip":"10.0.9.1","header":"authorization","prefix":"Bearer ","secret":"d"},
      {"service_id":"mcp:websearch","host":"drovix.test","ip":"10.0.9.5","header":"authorization","prefix":"Bearer ","secret":"w"}])"));
    write_file(certs("brave.key"), "key");
  }
  static void running_session(uint16_t port, const std::string& archive, bool ephemeral) {
    OJson table = read_sessions();
    table[std::to_string(port)] = {{"port", port}, {"archive", archive}, {"ephemeral", ephemeral}};
    write_sessions(table);
    set_unit_state(port, "active");
  }
};

TEST_F(LaunchChecks, RefusalTextsInTheirOrder) {
  struct Case {
    const char* name;
    std::function<void()> setup;
    const char* body;
    const char* expected;
  };
  const auto none = [] {};
  const Case cases[] = {
      // A later check failing too never changes the answer.
      {"desk before size", none, R"({"mcp":true,"datalake_desk":"Rates","workspace_mb":1000})",
       "Pick a desk for the Data Lake."},
      {"desk not a string", none, R"({"mcp":true,"datalake_desk":5})", "Pick a desk for the Data Lake."},
      {"size before folder", none, R"({"workspace_mb":1000,"workspace_folder":"a/../b"})",
       "Pick a workspace size: none, 512 MB, 1 GB or 2 GB."},
      {"size as true", none, R"({"workspace_mb":true})", "Pick a workspace size: none, 512 MB, 1 GB or 2 GB."},
      {"size not a number", none, R"({"workspace_mb":"abc"})", "Pick a workspace size: none, 512 MB, 1 GB or 2 GB."},
      {"dot-dot folder", none, R"({"onedrive":"ro","workspace_mb":"1024","workspace_folder":"Finance/../HR","subagents":{"max":2}})",
       "That SharePoint folder name isn't allowed."},
      {"colon folder", none, R"({"onedrive":"ro","workspace_mb":512,"workspace_folder":"C:/x"})",
       "That SharePoint folder name isn't allowed."},
      {"backslash folder", none, R"({"onedrive":"ro","workspace_mb":512,"workspace_folder":"a\\b"})",
       "That SharePoint folder name isn't allowed."},
      {"limit", none, R"({"subagents":{"max":2},"workspace_mb":512})", "Pick a sub-agent limit: 1, 3 or 5."},
      {"limit not a number", none, R"({"subagents":{"max":"many"}})", "Pick a sub-agent limit: 1, 3 or 5."},
      {"workspace without SharePoint", none, R"({"workspace_mb":512,"skills":true})",
       "The workspace stages files from SharePoint: choose SharePoint read-only or read-write."},
      {"SharePoint without folder", none, R"({"onedrive":"rw","workspace_mb":512,"workspace_folder":" / "})",
       "Pick a SharePoint folder and a workspace size."},
      {"skills", none, R"({"skills":true,"session_mode":"resume","archive":"x"})",
       "No skills.md is installed on this box."},
      {"unknown archive", none, R"({"session_mode":"resume","archive":"missing"})", "Pick an archive to resume."},
      {"archive open elsewhere",
       [] {
         write_file(snapshots("deals__20250101T000000.blob"), "s");
         running_session(8002, "deals", false);
       },
       R"({"session_mode":"resume","archive":"deals"})",
       "Archive 'deals' is open in VM :8002. Stop that VM first, or resume it as Ephemeral (read-only)."},
      {"no archive name", none, "{}", "Give the new archive a name."},
      {"name taken by a saved archive", [] { write_file(snapshots("deals__20250101T000000.blob"), "s"); },
       R"({"archive":" deals "})", "An archive named 'deals' already exists. Pick another name, or choose Resume."},
      {"name taken by a running session", [] { running_session(8004, "fresh", false); }, R"({"archive":"fresh"})",
       "An archive named 'fresh' already exists. Pick another name, or choose Resume."},
      {"SharePoint not connected", none,
       R"({"archive":"n","onedrive":"ro","workspace_mb":512,"workspace_folder":"Deals","mcp":true})",
       "SharePoint not connected"},
      {"Data Lake not connected", [] { write_json(certs("vault.json"), OJson::parse(R"([{"service_id":"onedrive"}])")); },
       R"({"archive":"n","onedrive":"ro","workspace_mb":512,"workspace_folder":"Deals","mcp":true,"web":true})",
       "Data Lake MCP not connected"},
      {"Web Search without brave.key",
       [] { write_json(certs("vault.json"), OJson::parse(R"([{"service_id":"mcp:websearch"}])")); },
       R"({"archive":"n","web":true,"llm":"nope"})", "Web Search not connected"},
      {"model server differs in case", connect_all, R"({"archive":"n","llm":"Anthropic"})",
       "That model server isn't enabled in Admin."},
      {"Bedrock without region",
       [] { write_file(certs("llm.json"), R"({"enabled":["bedrock"],"bedrock":{"key":"k","region":""}})"); },
       R"({"archive":"n"})", "Bedrock needs a region and a model in Admin."},
      {"private without host",
       [] { write_file(certs("llm.json"), R"({"enabled":["private"],"private":{"key":"k","host":""}})"); },
       R"({"archive":"n","llm":"private"})", "The private model server has no host in Admin."},
  };
  for (const auto& c : cases) {
    reset_state();
    c.setup();
    EXPECT_EQ(refusal(c.body), c.expected) << c.name;
  }
}

// A resume never silently turns into a fresh session.
TEST_F(LaunchChecks, ResumeNeedsTheArchiveFileAndThePassPhrase) {
  write_file(snapshots("deals__20250101T000000.blob"), "sealed");
  EXPECT_EQ(refusal(R"({"session_mode":"resume","archive":"deals"})"),
            "No snapshot.pass is installed on this box, so archives can't be resumed.");
  write_file(certs("snapshot.pass"), "phrase");
  write_file(snapshots("empty__.blob"), "sealed");
  EXPECT_EQ(refusal(R"({"session_mode":"resume","archive":"empty"})"),
            "Archive 'empty' has no saved version to resume.");
  auto ok = check_launch_request(OJson::parse(R"({"session_mode":"resume","archive":"deals"})"), "ann", std::nullopt);
  ASSERT_TRUE(ok) << ok.message();
  EXPECT_EQ(ok->resume_file, "deals__20250101T000000.blob");

  // An ephemeral resume may open an archive another session holds.
  running_session(8003, "deals", false);
  EXPECT_TRUE(check_launch_request(OJson::parse(R"({"session_mode":"resume","archive":"deals","ephemeral":1})"),
                                   "ann", std::nullopt));
}

TEST_F(LaunchChecks, HiddenFeaturesForceTheRestrictedValues) {
  write_file(certs("features.json"),
             R"({"onedrive":false,"datalake":false,"web":false,"audit":false,"skills":false,"subagents":false,"archive":false})");
  auto s = check_launch_request(OJson::parse(R"({"onedrive":"rw","workspace_mb":2048,"workspace_folder":"X",
      "mcp":true,"web":true,"audit":false,"hooks":{"pre_api_call":false},"skills":true,
      "subagents":{"max":5,"share_workspace":true},"session_mode":"resume","archive":"zz"})"),
                                "ann", std::nullopt);
  ASSERT_TRUE(s) << s.message();
  EXPECT_EQ(s->onedrive, "none");
  EXPECT_EQ(s->workspace_mb, 0);
  EXPECT_EQ(s->workspace_folder, "");
  EXPECT_FALSE(s->datalake);
  EXPECT_FALSE(s->web);
  EXPECT_TRUE(s->audit);
  EXPECT_EQ(s->hooks.dump(),
            R"({"user_prompt_submit":true,"pre_api_call":true,"pre_tool_use":true,"post_tool_use":true,"pre_response":true})");
  EXPECT_FALSE(s->skills);
  EXPECT_EQ(s->subagent_limit, 0);
  EXPECT_EQ(s->session_mode, "new");
  EXPECT_TRUE(s->ephemeral);
  EXPECT_EQ(s->archive, "");

  // A body that is not an object, with the archive hidden, passes as an
  // ephemeral session on the default model server.
  write_file(certs("features.json"), R"({"archive":false})");
  auto plain = check_launch_request(OJson::parse("[1]"), "ann", std::nullopt);
  ASSERT_TRUE(plain) << plain.message();
  EXPECT_EQ(plain->llm.chosen, "anthropic");
  EXPECT_EQ(plain->upstream.dump(), R"({"anthropic":{"host":"api.anthropic.com"}})");
}

TEST_F(LaunchChecks, NormalisedValues) {
  connect_all();
  write_file(certs("llm.json"), R"({"enabled":["anthropic","bedrock"],"bedrock":{"key":"k","region":"eu-west-1","model":"m1"}})");
  write_file(certs("policy.json"), R"({"subagent_profile":"research"})");
  auto s = check_launch_request(OJson::parse(R"({"archive":"n","onedrive":"ro","workspace_mb":"1024",
      "workspace_folder":"  /Reports/Q3/ ","mcp":true,"hooks":{"pre_tool_use":0},"llm":"bedrock",
      "subagents":{"max":3,"share_workspace":true}})"),
                                "ann", std::nullopt);
  ASSERT_TRUE(s) << s.message();
  EXPECT_EQ(s->workspace_folder, "Reports/Q3");
  EXPECT_EQ(s->sharepoint_root, "Reports/Q3");
  EXPECT_EQ(s->desk, "all");
  EXPECT_EQ(s->hooks["pre_tool_use"], false);
  EXPECT_EQ(s->hooks["pre_response"], true);
  EXPECT_EQ(s->subagent_profile, "research");
  EXPECT_FALSE(s->share_workspace);  // only the "same" profile shares
  EXPECT_EQ(s->provider_path, "/model/m1");
  EXPECT_EQ(s->upstream.dump(),
            R"({"bedrock":{"host":"bedrock-runtime.eu-west-1.amazonaws.com","model":"m1"},"graph":{"drive":"","root":"Reports/Q3"}})");
  ASSERT_EQ(s->services.size(), 1u);
  EXPECT_EQ(s->services[0]["service_id"], "mcp:datalake");
  EXPECT_EQ(s->labels.dump(), R"({"confidential":true,"external":false})");

  auto long_folder = check_launch_request(
      OJson{{"archive", "n"}, {"onedrive", "ro"}, {"workspace_mb", 512}, {"workspace_folder", std::string(400, 'f')}},
      "ann", std::nullopt);
  ASSERT_TRUE(long_folder);
  EXPECT_EQ(long_folder->workspace_folder.size(), 300u);
}

TEST_F(LaunchChecks, LabelsAndTheirTexts) {
  EXPECT_EQ(label_text(session_labels(true, false, "anthropic")), "confidential + external");
  EXPECT_EQ(label_text(session_labels(true, false, "bedrock")), "confidential");
  EXPECT_EQ(label_text(session_labels(false, true, "private")), "external");
  EXPECT_EQ(label_text(session_labels(false, false, "private")), "internal");
  const OJson conf = session_labels(true, false, "private");
  EXPECT_FALSE(label_may_flow(conf, session_labels(false, true, "private")));
  EXPECT_TRUE(label_may_flow(conf, session_labels(true, true, "private")));
  EXPECT_TRUE(label_may_flow(OJson::object(), session_labels(false, true, "private")));

  write_file(certs("policy.json"), R"({"confidential_internal":true})");
  EXPECT_EQ(explain_launch_policy(session_labels(true, false, "bedrock"), false, "bedrock"), "");
  EXPECT_EQ(explain_launch_policy(session_labels(true, true, "bedrock"), true, "bedrock"),
            "Policy: confidential data stays internal, so an agent with the Data Lake can't use Web Search. Turn off "
            "Web Search.");
  EXPECT_EQ(explain_launch_policy(session_labels(true, true, "anthropic"), true, "anthropic"),
            "Policy: confidential data stays internal, so an agent with the Data Lake can't use the Anthropic API or "
            "Web Search. Pick an internal model server and turn off Web Search.");
}

// Both label refusals leave one audit signal in ClickHouse.
TEST_F(LaunchChecks, LabelRefusalsAreAudited) {
  connect_all();
  write_file(certs("policy.json"), R"({"confidential_internal":true})");
  const std::string policy_text =
      "Policy: confidential data stays internal, so an agent with the Data Lake can't use the Anthropic API or Web "
      "Search. Pick an internal model server and turn off Web Search.";
  EXPECT_EQ(refusal(R"({"archive":"n","mcp":true,"web":true})", "label-user-1"), policy_text);

  auto rows = audit_rows("os_user = 'label-user-1'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["session_id"], "console");
  EXPECT_EQ(rows[0]["rule"], "label_blocked");
  EXPECT_EQ(rows[0]["severity"], "medium");
  EXPECT_EQ(rows[0]["kind"], "signal");
  EXPECT_EQ(rows[0]["tool"], "console");
  EXPECT_EQ(rows[0]["host"], "fleet-console");
  EXPECT_EQ(rows[0]["text"], "Launch by label-user-1 refused: " + policy_text);
  EXPECT_EQ(rows[0]["event_id"].get<std::string>().size(), 32u);

  // No write down from a confidential parent to an external child.
  write_file(certs("policy.json"), "{}");
  SubAgentLaunch sub;
  sub.name = "sub-1";
  sub.parent_port = 8003;
  sub.parent_labels = session_labels(true, false, "bedrock");
  const std::string nwd = "No write down: the parent is confidential, so it can't start a sub-agent that is external.";
  EXPECT_EQ(refusal(R"({"archive":"n","web":true,"llm":"anthropic"})", "label-user-2", sub), nwd);
  rows = audit_rows("os_user = 'label-user-2'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["session_id"], "vm-8003");
  EXPECT_EQ(rows[0]["host"], "fleet-vm-8003");
  EXPECT_EQ(rows[0]["text"], nwd);

  sub.declassified = true;
  EXPECT_EQ(refusal(R"({"archive":"n","web":true})", "label-user-2", sub), "<passed>");
  sub.declassified = false;
  EXPECT_EQ(refusal(R"({"archive":"n","web":true,"mcp":true})", "label-user-2", sub), "<passed>");
}

TEST_F(LaunchChecks, WorkspacePoolAndSlots) {
  struct Pool {
    const char* env;
    int64_t mb;
  } pools[] = {{nullptr, 10240}, {"4096", 4096}, {"+7", 7}, {" 4096", 10240}, {"4k", 10240},
               {"-1", -1},       {"", 10240},    {"-", 10240}, {"99999999999999999999", 10240}};
  for (const auto& p : pools) EXPECT_EQ(workspace_pool_mb_from(p.env), p.mb) << (p.env ? p.env : "unset");

  OJson table = OJson::object();
  table["8001"] = {{"workspace_mb", 4096}};
  table["8002"] = {{"workspace_mb", "4904"}};
  table["8003"] = {{"workspace_mb", 2048}};  // its unit has ended
  table["x"] = {{"workspace_mb", 2048}};
  write_sessions(table);
  set_unit_state(8001, "active");
  set_unit_state(8002, "active");
  EXPECT_EQ(workspace_used_mb(), 9000);

  auto refused = check_pool_and_choose_slot(2048);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.message(), "Only 1240 MB of the 10240 MB workspace pool is free.");
  auto slot = check_pool_and_choose_slot(1024);
  ASSERT_TRUE(slot);
  EXPECT_EQ(*slot, std::make_pair(uint16_t{8003}, uint16_t{3}));

  ::setenv("WORKSPACE_POOL_MB", "-1", 1);
  EXPECT_FALSE(check_pool_and_choose_slot(512));
  EXPECT_TRUE(check_pool_and_choose_slot(0));
  ::unsetenv("WORKSPACE_POOL_MB");

  for (uint16_t p = 8001; p <= 8008; ++p) set_unit_state(p, "active");
  auto full = check_pool_and_choose_slot(0);
  ASSERT_FALSE(full);
  EXPECT_EQ(full.message(), "all VM slots (8001-8008) are in use");
}

}  // namespace
