// Launch and stop of real stand-in VMs inside a namespace of the test's
// own: the record, the audit rows in ClickHouse, readiness, the fixed stop
// order and the cascade over sub-agents.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "fixture.hpp"
#include "host/src/console/launch.hpp"
#include "host/src/console/network.hpp"
#include "host/src/console/post_to_vm.hpp"
#include "host/src/console/registry.hpp"
#include "host/src/console/stop.hpp"
#include "host/src/console/vm_unit.hpp"
#include "tests/testbed/testbed.hpp"

namespace fs = std::filesystem;
using drovix::OJson;
using namespace drovix::host;
using namespace sessions_test;
using Clock = std::chrono::steady_clock;

namespace {

std::vector<std::string> keys_of(const OJson& o) {
  std::vector<std::string> k;
  for (const auto& [key, v] : o.items()) k.push_back(key);
  return k;
}

std::string vm_dir(uint16_t port) { return home().dir + "/vmstate/" + std::to_string(port); }

// Commands whose order the stop fixes are logged, with a nanosecond time,
// whether the relay record of slot 8001 still exists and whether its
// forwarder still answers, before the real command (or stand-in) runs.
void install_order_shims(const std::string& dir, const std::string& log) {
  const std::string rest = std::getenv("PATH");
  for (const char* cmd : {"systemctl", "conntrack", "iptables", "iptables-restore"}) {
    write_file(dir + "/" + cmd,
               "#!/bin/bash\n"
               "case \"$1\" in is-active) ;; *)\n"
               "  relay=no; [ -e '" + vm_dir(8001) + "/relay.json' ] && relay=yes\n"
               "  fwd=down; (exec 3<>/dev/tcp/127.0.0.1/8001) 2>/dev/null && fwd=up\n"
               "  echo \"$(date +%s%N) " + std::string(cmd) + " $1 relay=$relay fwd=$fwd\" >>'" + log + "' ;;\n"
               "esac\n"
               "PATH='" + rest + "' exec " + cmd + " \"$@\"\n");
    fs::permissions(dir + "/" + cmd, fs::perms(0755));
  }
  ::setenv("PATH", (dir + ":" + rest).c_str(), 1);
}

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override { reset_state(); }
  static void agent_behaviour(const OJson& ctl) { write_json(home().dir + "/standin-agent.json", ctl); }
};

TEST_F(Lifecycle, LaunchRecordsAuditsWaitsThenStopsInOrder) {
  agent_behaviour({{"delay", 5}, {"archive", "deals-q3"}});
  testbed::run_in_netns([] {
    bridge_clickhouse_into_netns();
    setup_host_network();

    // An earlier session's record in the same slot is replaced in place.
    OJson table = OJson::object();
    table["8005"] = {{"port", 8005}, {"started", "2025-01-01 08:00:00"}};
    table["8001"] = {{"port", 8001}, {"started", "2025-01-01 09:00:00"}, {"by", "old"}};
    write_sessions(table);

    const auto t0 = Clock::now();
    OJson reply = launch_session(OJson::parse(R"({"archive":"deals-q3","hooks":{"pre_tool_use":false},
        "subagents":{"max":3,"share_workspace":true}})"),
                                 "launcher-1", std::nullopt, std::nullopt);
    const auto waited = Clock::now() - t0;
    EXPECT_EQ(reply.dump(), R"({"url":"https://drovix.test:8001/","port":8001,"ready":true})");
    EXPECT_GE(waited, std::chrono::seconds(5));
    EXPECT_LT(waited, std::chrono::seconds(15));
    EXPECT_TRUE(agent_unit_active(8001));

    OJson after = read_sessions();
    EXPECT_EQ(keys_of(after), (std::vector<std::string>{"8005", "8001"}));
    OJson rec = after["8001"];
    EXPECT_EQ(keys_of(rec), (std::vector<std::string>{"port", "perms", "archive", "session_mode", "ephemeral",
                                                      "workspace_mb", "workspace_folder", "started", "by"}));
    EXPECT_EQ(rec["by"], "launcher-1");
    EXPECT_EQ(rec["archive"], "deals-q3");
    EXPECT_EQ(rec["perms"].dump(),
              R"({"audit":true,"onedrive":"none","mcp":false,"datalake_desk":"","web":false,"skills":false,)"
              R"("workspace":0,"sharepoint_root":"","hooks":{"user_prompt_submit":true,"pre_api_call":true,)"
              R"("pre_tool_use":false,"post_tool_use":true,"pre_response":true},"subagents":3,)"
              R"("share_workspace":false,"llm":"Anthropic API","llm_provider":"anthropic",)"
              R"("labels":{"confidential":false,"external":true},"subagent_profile":"same","reader":false})");
    struct stat st;
    ASSERT_EQ(::stat((home().dir + "/vmstate/sessions.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read_json(vm_dir(8001) + "/certs/appliance.json")["archive"], "deals-q3");

    // The agent's host-only route refuses a wrong token.
    testbed::TempDir tmp;
    write_file(tmp / "wrong.token", "not-the-token");
    auto refused = post_to_agent("10.0.9.11", 8443, tmp / "wrong.token", "/api/flush", "", std::chrono::seconds(20));
    ASSERT_TRUE(refused) << refused.message();
    EXPECT_EQ(refused->dump(), R"({"error":"forbidden"})");

    // Stop, watching the order of its steps.
    const std::string started = rec["started"];
    std::string taint = taint_file_path(8001, started);
    write_file(taint, "tainted");
    const std::string log = tmp / "order.log";
    install_order_shims(tmp / "shims", log);
    OJson outcome = stop_session(8001, "stopper-1", "");
    EXPECT_EQ(outcome.dump(), R"({"saved":true,"archive":"deals-q3"})");

    std::string agent_log = testbed::read_text(vm_dir(8001) + "/certs/standin.log");
    ASSERT_NE(agent_log.find(" flush ok"), std::string::npos) << agent_log;
    const long long flushed_at = std::stoll(agent_log.substr(agent_log.find(" flush ok") - 19, 19));

    std::vector<std::string> steps;
    std::istringstream lines(testbed::read_text(log));
    long long first_at = 0;
    for (std::string line; std::getline(lines, line);) {
      if (!first_at) first_at = std::stoll(line.substr(0, line.find(' ')));
      std::string step = line.substr(line.find(' ') + 1);
      if (steps.empty() || steps.back() != step) steps.push_back(step);
    }
    EXPECT_LT(flushed_at, first_at) << "the flush comes first";
    ASSERT_GE(steps.size(), 4u) << testbed::read_text(log);
    EXPECT_EQ(steps[0], "systemctl stop relay=yes fwd=up");
    EXPECT_EQ(steps[1], "systemctl reset-failed relay=yes fwd=up");
    EXPECT_EQ(steps[2], "conntrack -D relay=no fwd=down");
    EXPECT_EQ(steps[3].substr(0, 8), "iptables");
    EXPECT_NE(steps[3].find("relay=no fwd=down"), std::string::npos);

    EXPECT_FALSE(agent_unit_active(8001));
    EXPECT_FALSE(fs::exists(taint));
    OJson stopped = session_by_port(read_sessions(), 8001);
    EXPECT_EQ(keys_of(stopped).back(), "ended");
    EXPECT_FALSE(stopped.contains("status"));

    // Stopping again: nothing to flush, the record gets a new end.
    EXPECT_EQ(stop_session(8001, "stopper-1", "").dump(), R"({"saved":false,"reason":"not running"})");
  });

  auto launched = audit_rows("rule = 'session_launched' AND os_user = 'launcher-1'");
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0]["session_id"], "vm-8001");
  EXPECT_EQ(launched[0]["host"], "fleet-vm-8001");
  EXPECT_EQ(launched[0]["severity"], "low");
  EXPECT_EQ(launched[0]["text"],
            "VM :8001 launched by launcher-1 \u2014 audit=True onedrive=none datalake=off web=False skills=False "
            "hooks=4/5 workspace=0MB reader=False subagents=3 session=new archive=deals-q3 ephemeral=False "
            "model=Anthropic API label=external");
  auto stopped = audit_rows("rule = 'session_stopped' AND os_user = 'stopper-1' ORDER BY text");
  ASSERT_EQ(stopped.size(), 2u);
  EXPECT_EQ(stopped[0]["text"], "VM :8001 stopped by stopper-1 \u2014 archive 'deals-q3' saved");
  EXPECT_EQ(stopped[1]["text"], "VM :8001 stopped by stopper-1 \u2014 nothing saved (not running)");
}

TEST_F(Lifecycle, ReadinessThatNeverComesIsReportedAndTheSessionStays) {
  agent_behaviour({{"announce", false}});
  testbed::run_in_netns([] {
    bridge_clickhouse_into_netns();
    setup_host_network();
    const auto t0 = Clock::now();
    OJson reply = launch_session(OJson::parse(R"({"ephemeral":true})"), "launcher-2", std::nullopt, std::nullopt);
    const auto waited = Clock::now() - t0;
    EXPECT_EQ(reply.dump(), R"({"url":"https://drovix.test:8001/","port":8001,"ready":false})");
    EXPECT_GE(waited, std::chrono::seconds(40));
    EXPECT_LT(waited, std::chrono::seconds(60));
    EXPECT_TRUE(agent_unit_active(8001));
    EXPECT_EQ(session_by_port(read_sessions(), 8001)["by"], "launcher-2");
    stop_session(8001, "launcher-2", "");
  });
  EXPECT_EQ(audit_rows("rule = 'session_launched' AND os_user = 'launcher-2'").size(), 1u);
}

TEST_F(Lifecycle, ProvisioningErrorRecordsAndAuditsNothing) {
  testbed::run_in_netns([] {
    bridge_clickhouse_into_netns();
    // The slot's state folder cannot be made: a file is in its place.
    write_file(vm_dir(8001), "file");
    OJson reply = launch_session(OJson::parse(R"({"archive":"e1"})"), "launcher-3", std::nullopt, std::nullopt);
    ASSERT_TRUE(reply.contains("error")) << reply.dump();
    std::string text = reply["error"];
    EXPECT_EQ(text.substr(0, 14), "launch error: ");
    EXPECT_LE(text.size(), 14u + 140u);
    EXPECT_EQ(read_sessions().size(), 0u);
  });
  EXPECT_EQ(audit_rows("os_user = 'launcher-3'").size(), 0u);
}

TEST_F(Lifecycle, StopRequestConfirmsThenCascades) {
  testbed::run_in_netns([] {
    bridge_clickhouse_into_netns();
    setup_host_network();
    // A parent on 8001 with two running children and one whose VM ended.
    OJson table = OJson::object();
    table["8001"] = {{"port", 8001}, {"started", "2025-01-01 09:00:00"}, {"by", "ann"}};
    for (int p : {8002, 8003, 8004}) {
      table[std::to_string(p)] = {{"port", p},           {"started", "2025-01-01 09:0" + std::to_string(p - 8000) + ":00"},
                                  {"by", "ann"},         {"parent", 8001},
                                  {"parent_started", "2025-01-01 09:00:00"},
                                  {"name", "sub-" + std::to_string(p - 8001)},
                                  {"task", "t"},         {"status", "running"}};
    }
    write_sessions(table);
    for (uint16_t p : {8001, 8002, 8003}) set_unit_state(p, "active");

    HttpResponse confirm = stop_request(OJson{{"port", "8001"}}, "cascader");
    EXPECT_EQ(confirm.status, 200);
    EXPECT_EQ(confirm.body, R"({"confirm":true,"children":[{"port":8002,"name":"sub-1"},{"port":8003,"name":"sub-2"}]})");
    EXPECT_FALSE(read_sessions()["8001"].contains("ended")) << "nothing stops before the confirmation";

    HttpResponse done = stop_request(OJson{{"port", 8001}, {"cascade", true}}, "cascader");
    OJson body = OJson::parse(done.body);
    EXPECT_EQ(body["ok"], true);
    EXPECT_EQ(body["children_stopped"], 2);
    EXPECT_EQ(body["flush"]["saved"], false);
    EXPECT_EQ(body["flush"]["reason"].get<std::string>().substr(0, 14), "flush failed: ");

    OJson after = read_sessions();
    for (const char* p : {"8002", "8003"}) {
      EXPECT_EQ(after[p]["status"], "stopped") << p;
      EXPECT_EQ(after[p]["detail"], "its parent :8001 was stopped") << p;
      EXPECT_TRUE(after[p].contains("ended")) << p;
    }
    EXPECT_EQ(after["8004"]["status"], "running") << "a child whose VM ended is not stopped";
    EXPECT_TRUE(after["8001"].contains("ended"));
    EXPECT_FALSE(after["8001"].contains("status"));
    OJson history = read_json(home().dir + "/vmstate/children.json")["8001@2025-01-01 09:00:00"];
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[1]["name"], "sub-2");

    // A child stopped directly records who stopped it.
    set_unit_state(8004, "inactive");
    OJson t = read_sessions();
    t["8004"]["status"] = "running";
    write_sessions(t);
    stop_session(8004, "bob", "");
    EXPECT_EQ(read_sessions()["8004"]["detail"], "stopped by bob");

    for (const OJson& bad : {OJson{{"port", 8009}}, OJson{{"port", "eighty"}}, OJson::object()})
      EXPECT_EQ(stop_request(bad, "cascader").body, R"({"error":"unknown port"})");
  });
  auto rows = audit_rows("rule = 'session_stopped' AND os_user = 'cascader' ORDER BY text");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NE(rows[0]["text"].get<std::string>().find("VM :8001 stopped by cascader \u2014 nothing saved (flush failed: "),
            std::string::npos);
  EXPECT_EQ(rows[1]["text"].get<std::string>().substr(0, 69),
            "VM :8002 stopped by cascader because its parent :8001 was stopped \u2014");
}

TEST(StopOutcome, TextsFromTheFlushAnswer) {
  struct Case {
    const char* outcome;
    const char* text;
  } cases[] = {
      {R"({"saved":true,"archive":"a"})", "archive 'a' saved"},
      {R"({"saved":1})", "archive '' saved"},
      {R"({"saved":false,"reason":"up to date","archive":"a"})", "archive 'a' already up to date"},
      {R"({"saved":false,"reason":"ephemeral"})", "ephemeral, nothing saved"},
      {R"({"saved":false,"reason":"no archive"})", "nothing saved (no archive)"},
      {R"([1])", "nothing saved ()"},
  };
  for (const auto& c : cases) EXPECT_EQ(stop_outcome_text(OJson::parse(c.outcome)), c.text) << c.outcome;
}

TEST(LaunchText, OptionalParts) {
  LaunchSettings s;
  s.onedrive = "ro";
  s.sharepoint_root = "Deals/2024";
  s.workspace_folder = "Deals/2024";
  s.datalake = true;
  s.desk = "rates";
  s.skills = true;
  s.reader = true;
  s.workspace_mb = 1024;
  s.subagent_limit = 3;
  s.share_workspace = true;
  s.archive = "deals-q3";
  s.hooks = OJson{{"a", true}, {"b", 1}, {"c", "x"}, {"d", true}, {"e", true}};
  s.llm.chosen = "bedrock";
  s.llm.bedrock = {{"region", "us-east-2"}, {"model", "m7"}};
  s.labels = session_labels(true, false, "bedrock");
  SubAgentLaunch sub;
  sub.name = "sub-1";
  sub.parent_port = 8001;
  EXPECT_EQ(launched_text(8003, "analyst7", s, sub),
            "VM :8003 launched by analyst7 as sub-agent 'sub-1' of VM :8001 \u2014 audit=True onedrive=ro "
            "folder=Deals/2024 datalake=rates web=False skills=True hooks=5/5 workspace=1024MB:Deals/2024 "
            "reader=True subagents=3 (shared workspace) session=new archive=deals-q3 ephemeral=False "
            "model=Bedrock us-east-2 m7 label=confidential");
  OJson opts = build_launch_options(s, sub);
  EXPECT_EQ(keys_of(opts), (std::vector<std::string>{"audit", "onedrive", "archive", "mode", "ephemeral",
                                                     "workspace_mb", "workspace_folder", "sharepoint_root", "hooks",
                                                     "subagents", "share_workspace", "subagent_profile", "reader",
                                                     "datalake_desk", "llm", "role", "parent_port", "task",
                                                     "child_name"}));
}

}  // namespace
