// One session's whole road: console login, launch through the console API,
// the real agent booting in its VM namespace, its API reached through the
// slot port, and the stop that flushes it and frees the slot.
#include <gtest/gtest.h>

#include <sys/socket.h>

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
      // The log keeps every boot of the slot; this boot's lines come last.
      const std::string log = testbed::read_text(vm_dir(8001) + "/webui.log");
      const size_t at = log.rfind("WEB start; ");
      ASSERT_NE(at, std::string::npos) << log;
      EXPECT_EQ(log.substr(at),
                "WEB start; cert=/certs/fullchain.pem port=8443\n"
                "keyring: services=[\"anthropic\",\"statesink\",\"telemetry\"] tools=false\n"
                "corpus: 0 docs, 0 chunks\n"
                "config: audit=true onedrive=none archive=e2e-review mode=new ephemeral=false resume=false\n"
                "skills: none\n"
                "sub-agents: up to 0\n"
                "WEB LISTENING on 0.0.0.0:8443\n");

      // The browser's road: the slot port, TLS end to end with the host's certificate.
      Reply info = https("GET", 8001, "/api/session-info");
      ASSERT_EQ(info.status, 200) << info.body;
      OJson si = info.json();
      EXPECT_EQ(si["archive"], "e2e-review");
      EXPECT_EQ(si["mode"], "new");
      EXPECT_EQ(si["resume"], false);
      EXPECT_EQ(si["turns"], OJson::array());
      EXPECT_EQ(si["unsaved"], false);

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
