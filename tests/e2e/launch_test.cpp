// One session's whole road: console login, launch through the console API,
// the real agent booting in its VM namespace, its API reached through the
// slot port, and the stop that flushes it and frees the slot. Then the
// archive's road: a resumed session saved by the agent through the gateway
// into a sealed blob, its audit rows in ClickHouse, and the next launch
// resuming what was saved.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>

#include "common/net.hpp"
#include "tests/e2e/e2e_fixture.hpp"
#include "tests/testbed/testbed.hpp"

using drovix::OJson;
using namespace e2e;

namespace {

std::string vm_dir(int port) { return home().dir + "/vmstate/" + std::to_string(port); }

OJson sessions() {
  return OJson::parse(testbed::read_text(home().dir + "/vmstate/sessions.json"), nullptr, false);
}

bool unit_active(int port) {
  return testbed::sh("systemctl -q is-active drovix-vm-" + std::to_string(port)) == 0;
}

bool slot_accepts(int port) { return drovix::tcp_connect("127.0.0.1", port, 1000).ok(); }

// The lines of the slot's latest boot: the log keeps every boot of the slot.
std::string this_boot(int port) {
  const std::string log = testbed::read_text(vm_dir(port) + "/webui.log");
  const size_t at = log.rfind("WEB start; ");
  return at == std::string::npos ? log : log.substr(at);
}

std::string boot_lines(const std::string& archive, const std::string& mode, bool resume) {
  return "WEB start; cert=/certs/fullchain.pem port=8443\n"
         "keyring: services=[\"anthropic\",\"statesink\",\"telemetry\"] tools=false\n"
         "corpus: 0 docs, 0 chunks\n"
         "config: audit=true onedrive=none archive=" +
         archive + " mode=" + mode + " ephemeral=false resume=" + (resume ? "true" : "false") +
         "\n"
         "skills: none\n"
         "sub-agents: up to 0\n"
         "WEB LISTENING on 0.0.0.0:8443\n";
}

std::string snapshots_dir() { return home().dir + "/appliance-snapshots"; }

}  // namespace

TEST(EndToEnd, LaunchServeAndStopARealAgent) {
  reset_state();
  testbed::run_in_netns([] {
    bridge_clickhouse_into_netns();
    HostProcess host;
    ASSERT_TRUE(host.wait_ready(std::chrono::seconds(30))) << host.log();

    EXPECT_EQ(https("POST", 443, "/api/launch", "{}").status, 401) << "the console wants a login first";
    const std::string cookie = console_login("e2e-analyst");

    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE("launch " + std::to_string(round + 1));
      // Launch; the reply comes once the agent says it listens.
      Reply launched = https("POST", 443, "/api/launch", R"({"archive":"e2e-review"})", cookie);
      ASSERT_EQ(launched.status, 200) << launched.body;
      ASSERT_EQ(launched.json().dump(), R"({"url":"https://drovix.test:8001/","port":8001,"ready":true})")
          << launched.body << "\n" << host.log();
      EXPECT_TRUE(unit_active(8001));

      // The agent booted from what the host wrote into /certs.
      for (const char* f : {"fullchain.pem", "privkey.pem", "appliance.json", "flush.token", "mcp.token"})
        EXPECT_TRUE(testbed::sh("test -s " + vm_dir(8001) + "/certs/" + f) == 0) << f;
      EXPECT_EQ(this_boot(8001), boot_lines("e2e-review", "new", false));

      // The browser's road: the slot port, TLS end to end with the host's certificate.
      Reply info = https("GET", 8001, "/api/session-info");
      ASSERT_EQ(info.status, 200) << info.body;
      OJson si = info.json();
      EXPECT_EQ(si["archive"], "e2e-review");
      EXPECT_EQ(si["mode"], "new");
      EXPECT_EQ(si["resume"], false);
      EXPECT_EQ(si["turns"], OJson::array());
      EXPECT_EQ(si["unsaved"], false);

      // A fresh session has nothing to keep: the save asks the gateway for
      // nothing and no archive appears.
      Reply empty_save = https("POST", 8001, "/api/save-snapshot", "{}");
      EXPECT_EQ(empty_save.status, 409);
      EXPECT_EQ(empty_save.body, R"({"error":"nothing to save yet"})");
      EXPECT_TRUE(!std::filesystem::exists(snapshots_dir()) || std::filesystem::is_empty(snapshots_dir()));

      // Only the host may flush.
      Reply refused = https("POST", 8001, "/api/flush", "{}");
      EXPECT_EQ(refused.status, 403);
      EXPECT_EQ(refused.body, R"({"error":"forbidden"})");

      OJson rec = sessions()["8001"];
      ASSERT_TRUE(rec.is_object()) << sessions().dump();
      EXPECT_EQ(rec["by"], "e2e-analyst");
      EXPECT_FALSE(rec.contains("ended"));

      // Stop: the agent answers the flush with its token, the unit stops,
      // the record ends and the slot is free again.
      Reply stopped = https("POST", 443, "/api/stop", R"({"port":8001})", cookie);
      ASSERT_EQ(stopped.status, 200) << stopped.body;
      OJson outcome = stopped.json();
      EXPECT_EQ(outcome["ok"], true) << stopped.body;
      EXPECT_EQ(outcome["flush"].dump(), R"({"archive":"e2e-review","reason":"up to date","saved":false})")
          << stopped.body << "\n" << host.log();
      EXPECT_FALSE(unit_active(8001));
      EXPECT_FALSE(slot_accepts(8001));
      OJson ended = sessions()["8001"];
      EXPECT_TRUE(ended.contains("ended")) << ended.dump();
      EXPECT_FALSE(ended.contains("status")) << ended.dump();
      EXPECT_EQ(ended["started"], rec["started"]);
    }
  });
}

// A prior session's archive, sealed as the host seals them, is resumed; the
// agent saves it under a new name through the gateway; the sealed blob opens
// with the host's pass phrase and holds the transcript and manifest whole;
// the saves and resumes are audited in ClickHouse; and the next launch
// resumes what the agent saved.
TEST(EndToEnd, ArchiveSavedThroughTheGatewayAndResumed) {
  reset_state();
  const std::string pass = std::string(48, 'a').replace(0, 6, "0f1e2d") + "\n";
  testbed::write_text(home().certs + "/snapshot.pass", pass);
  ::chmod((home().certs + "/snapshot.pass").c_str(), 0600);

  const std::string transcript = "User: What changed in the Q3 numbers?\n\nAssistant: Revenue rose 4% on fees.";
  const OJson manifest = OJson::parse(
      R"([{"fp":"9f86d081","kind":"text","path":"q3/summary.txt","size":1204,"src":"sharepoint:/Reports/q3/summary.txt"}])");
  const OJson prior = {{"transcript", transcript + "\n\n"},
                       {"name", "e2e-prior"},
                       {"ts", "20250101T090000"},
                       {"manifest", manifest}};
  std::filesystem::create_directories(snapshots_dir());
  testbed::write_text(snapshots_dir() + "/e2e-prior__20250101T090000.blob", seal_with_pass(pass, prior.dump()));
  testbed::write_text(snapshots_dir() + "/e2e-other__20250101T080000.blob",
                      seal_with_pass(pass, OJson{{"transcript", "x"}, {"name", "e2e-other"}}.dump()));

  testbed::run_in_netns([&] {
    bridge_clickhouse_into_netns();
    HostProcess host;
    ASSERT_TRUE(host.wait_ready(std::chrono::seconds(30))) << host.log();
    const std::string cookie = console_login("e2e-analyst");

    Reply launched = https("POST", 443, "/api/launch", R"({"archive":"e2e-prior","session_mode":"resume"})", cookie);
    ASSERT_EQ(launched.status, 200) << launched.body;
    ASSERT_EQ(launched.json()["ready"], true) << launched.body << "\n" << host.log();
    EXPECT_EQ(this_boot(8001), boot_lines("e2e-prior", "resume", true));
    OJson si = https("GET", 8001, "/api/session-info").json();
    EXPECT_EQ(si["resume"], true) << si.dump();
    EXPECT_EQ(si["snapshot"], "e2e-prior");

    // Saving under another archive's name never overwrites it: the gateway
    // refuses, and the agent passes its words on.
    Reply refused = https("POST", 8001, "/api/save-snapshot", R"({"name":"e2e-other"})");
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(refused.body, R"({"error":"An archive named 'e2e-other' already exists. Pick a new name."})");

    Reply saved = https("POST", 8001, "/api/save-snapshot", R"({"name":"e2e-review"})");
    ASSERT_EQ(saved.status, 200) << saved.body << "\n" << host.log();
    const std::string ts = saved.json().value("timestamp", "");
    EXPECT_EQ(saved.json().dump(), R"({"ephemeral":false,"name":"e2e-review","timestamp":")" + ts + R"("})");
    ASSERT_EQ(ts.size(), 15u) << ts;

    // The blob is the host's sealed archive; the pass phrase file opens it.
    const std::string file = snapshots_dir() + "/e2e-review__" + ts + ".blob";
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0) << testbed::sh_out("ls -l " + snapshots_dir());
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const std::string blob = testbed::read_text(file);
    auto opened = open_with_pass(pass, blob);
    ASSERT_TRUE(opened.has_value()) << "the archive does not open with snapshot.pass";
    const OJson stored = {{"transcript", transcript}, {"name", "e2e-review"}, {"ts", ts}, {"manifest", manifest}};
    EXPECT_EQ(*opened, stored.dump());
    EXPECT_EQ(blob.size(), opened->size() + 28);
    EXPECT_NE(host.log().find("archive saved: e2e-review__" + ts + " (" + std::to_string(blob.size()) + "B)\n"),
              std::string::npos)
        << host.log();

    // The session now lives in the archive it saved: the stop's flush finds
    // it up to date.
    si = https("GET", 8001, "/api/session-info").json();
    EXPECT_EQ(si["archive"], "e2e-review");
    EXPECT_EQ(si["last_saved"], ts);
    EXPECT_EQ(si["unsaved"], false);
    Reply stopped = https("POST", 443, "/api/stop", R"({"port":8001})", cookie);
    ASSERT_EQ(stopped.status, 200) << stopped.body;
    EXPECT_EQ(stopped.json()["flush"].dump(), R"({"archive":"e2e-review","reason":"up to date","saved":false})");

    // The next launch resumes the saved version.
    launched = https("POST", 443, "/api/launch", R"({"archive":"e2e-review","session_mode":"resume"})", cookie);
    ASSERT_EQ(launched.status, 200) << launched.body;
    ASSERT_EQ(launched.json()["ready"], true) << launched.body << "\n" << host.log();
    EXPECT_EQ(this_boot(8001), boot_lines("e2e-review", "resume", true));
    si = https("GET", 8001, "/api/session-info").json();
    EXPECT_EQ(si["resume"], true) << si.dump();
    EXPECT_EQ(si["snapshot"], "e2e-review");
    EXPECT_EQ(si["archive"], "e2e-review");
    EXPECT_EQ(https("POST", 443, "/api/stop", R"({"port":8001})", cookie).status, 200);
  });

  // The first save of each name is audited by the gateway, in the data lake
  // and in the origin events; the resumes are console signals of medium
  // severity, so they reach the origin signals too.
  auto audit = clickhouse_rows(
      "SELECT session_id, event_id, kind, rule, severity, tool, text, host, os_user FROM datalake.ai_audit "
      "WHERE rule = 'archive_created'");
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0].dump(),
            R"({"session_id":"","event_id":"","kind":"signal","rule":"archive_created","severity":"low",)"
            R"("tool":"archive","text":"Archive 'e2e-review' created","host":"fleet-umbrix","os_user":"appliance"})");

  auto events = clickhouse_rows(
      "SELECT tenant_id, host, os_user, session_id, agent, event_type, tool_name, text, is_error FROM origin.ai_events "
      "WHERE event_type = 'archive_created'");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].dump(), std::string(R"({"tenant_id":")") + kOriginTenant + R"(","host":")" + kOriginHost +
                                  R"(","os_user":"appliance","session_id":"fleet-console","agent":"drovix-gateway",)"
                                  R"("event_type":"archive_created","tool_name":"archive",)"
                                  R"("text":"Archive 'e2e-review' created","is_error":0})");

  auto signals = clickhouse_rows(
      "SELECT tenant_id, session_id, rule, severity, title, detail, field, host, os_user FROM origin.ai_signals "
      "WHERE rule = 'snapshot_loaded' ORDER BY ts");
  ASSERT_EQ(signals.size(), 2u);
  const char* resumed[] = {"e2e-prior", "e2e-review"};
  for (size_t i = 0; i < 2; ++i) {
    OJson row = signals[i];
    EXPECT_EQ(row["session_id"].get<std::string>().rfind("fleet-8001-", 0), 0u) << row.dump();
    row.erase("session_id");
    const std::string archive_file =
        i == 0 ? "e2e-prior__20250101T090000.blob" : testbed::sh_out("ls " + snapshots_dir() + " | grep e2e-review");
    EXPECT_EQ(row.dump(), std::string(R"({"tenant_id":")") + kOriginTenant +
                              R"(","rule":"snapshot_loaded","severity":"medium","title":"Snapshot loaded","detail":"VM :8001 resumed archive ')" +
                              resumed[i] + "' (" + archive_file.substr(0, archive_file.find('\n')) +
                              R"() by e2e-analyst","field":"","host":")" + kOriginHost +
                              R"(/vm-8001","os_user":"e2e-analyst"})");
  }
}
