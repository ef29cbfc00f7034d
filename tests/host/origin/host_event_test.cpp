#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/encoding.hpp"
#include "host/src/http/outbound.hpp"
#include "host/src/origin/console_signal.hpp"
#include "origin_home.hpp"
#include "tests/testbed/clickhouse.hpp"
#include "tests/testbed/http_peer.hpp"

namespace drovix::host {
namespace {

using origin_test::kOriginHost;

// A recording ClickHouse: every insert of one call is read back from it.
struct Recorder {
  testbed::HttpPeer peer;
  ClickHouseSettings ch;
  OriginSettings settings;
  Recorder() {
    ch.url = peer.url("/");
    settings.enabled = true;
    settings.tenant_id = origin_test::kTenant;
    settings.host = kOriginHost;
  }
  OriginSink sink() { return OriginSink{settings, ClickHouseEndpoint{ch, http_agent()}}; }
  std::vector<OJson> events() const { return origin_test::inserted_rows(peer, "ai_events"); }
  std::vector<OJson> signals() const { return origin_test::inserted_rows(peer, "ai_signals"); }
};

TEST(CapitalizeFirst, FullUnicodeMappings) {
  struct Case {
    const char *in, *out;
  } cases[] = {{"", ""},
               {"grant CREATED", "Grant created"},
               {"relay refused", "Relay refused"},
               {"\u00dfx", "SSx"},
               {"\u00e9T\u00c9", "\u00c9t\u00e9"},
               {"1ABC", "1abc"}};
  for (const auto& c : cases) EXPECT_EQ(capitalize_first(c.in), c.out) << c.in;
}

TEST(RecordHostEvent, RowsByKindSeveritySessionAndHost) {
  origin_test::write_registry({{"8001", {{"started", "2025-03-01 09:15:00"}, {"by", "alice"}}}});
  const std::string long500(500, 'q');
  struct Case {
    const char* name;
    std::string kind, rule, severity, tool, text, session, host, user;
    // event row
    std::string session_id, row_host, row_user, event_type;
    int is_error;
    // signal row; empty title: none
    std::string signal_rule, title;
  } cases[] = {
      {"console low", "signal", "session_launched", "low", "console", "t", "console", "fleet-console", "bob",
       "fleet-console", kOriginHost, "bob", "session_launched", 0, "", ""},
      {"console medium", "signal", "grant_created", "medium", "console", "t", "", "fleet-console", "bob",
       "fleet-console", kOriginHost, "bob", "grant_created", 0, "grant_created", "Grant created"},
      {"relay refusal, slot with a start time", "signal", "relay_refused", "high", "console", "t", "vm-8001",
       "fleet-vm-8001", "relay", "fleet-8001-20250301091500", "origin.test/vm-8001", "relay", "relay_refused", 0,
       "relay_refused", "Relay refused"},
      {"slot without a registry entry", "signal", "relay_refused", "high", "console", "t", "vm-8002",
       "fleet-vm-8002", "", "vm-8002", "fleet-vm-8002", "appliance", "relay_refused", 0, "relay_refused",
       "Relay refused"},
      {"vm-0000 is no slot", "signal", "r", "low", "console", "t", "vm-0000", "", "", "vm-0000", kOriginHost,
       "appliance", "r", 0, "", ""},
      {"vm-80011 is no slot", "signal", "r", "low", "console", "t", "vm-80011", "h", "", "vm-80011", "h",
       "appliance", "r", 0, "", ""},
      {"blocked without text", "blocked", "ungranted_access", "high", "datalake_query", "", "gw-1", "", "", "gw-1",
       kOriginHost, "appliance", "policy_block", 1, "ungranted_access", "Blocked: ungranted_access"},
      {"blocked with a long text", "blocked", "r", "low", "t", long500, "gw-1", "", "", "gw-1", kOriginHost,
       "appliance", "policy_block", 1, "r", "Blocked: " + long500.substr(0, 160)},
      {"gateway archive", "signal", "archive_created", "low", "archive", "t", "s", "", "", "s", kOriginHost,
       "appliance", "archive_created", 0, "", ""},
      {"case of severity counts", "signal", "r", "High", "console", "t", "s", "", "", "s", kOriginHost, "appliance",
       "r", 0, "", ""},
      {"signal with no rule", "signal", "", "high", "console", "t", "s", "", "", "s", kOriginHost, "appliance",
       "signal", 0, "signal", "signal"},
      {"another kind", "datalake_query", "q", "high", "mcp", "t", "s", "", "", "s", kOriginHost, "appliance",
       "datalake_query", 0, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder rec;
    record_host_event(rec.sink(), "drovix-gateway", c.kind, c.rule, c.severity, c.tool, c.text, c.session, c.host,
                      c.user);
    auto events = rec.events();
    ASSERT_EQ(events.size(), 1u);
    const OJson& ev = events[0];
    EXPECT_EQ(ev["session_id"], c.session_id);
    EXPECT_EQ(ev["host"], c.row_host);
    EXPECT_EQ(ev["os_user"], c.row_user);
    EXPECT_EQ(ev["agent"], "drovix-gateway");
    EXPECT_EQ(ev["event_type"], c.event_type);
    EXPECT_EQ(ev["tool_name"], c.tool);
    EXPECT_EQ(ev["text"], c.text);
    EXPECT_EQ(ev["is_error"], c.is_error);
    EXPECT_EQ(ev["tenant_id"], origin_test::kTenant);
    auto signals = rec.signals();
    if (c.title.empty()) {
      EXPECT_TRUE(signals.empty());
      continue;
    }
    ASSERT_EQ(signals.size(), 1u);
    const OJson& sig = signals[0];
    EXPECT_EQ(sig["rule"], c.signal_rule);
    EXPECT_EQ(sig["title"], c.title);
    EXPECT_EQ(sig["severity"], c.severity);
    EXPECT_EQ(sig["detail"], c.text);
    for (const char* key : {"event_id", "ts", "session_id", "host", "os_user"}) EXPECT_EQ(sig[key], ev[key]) << key;
  }

  Recorder rec;
  rec.settings.enabled = false;
  record_host_event(rec.sink(), "fleet-console", "blocked", "r", "high", "console", "t", "console", "", "");
  EXPECT_TRUE(rec.peer.requests().empty()) << "a disabled sink writes nothing";
}

TEST(RecordHostEvent, TextCuts) {
  Recorder rec;
  std::string text(9000, 'w');
  record_host_event(rec.sink(), "drovix-gateway", "blocked", "r", "high", "t", text, "s", "", "");
  ASSERT_EQ(rec.events().size(), 1u);
  EXPECT_EQ(rec.events()[0]["text"], text.substr(0, 8000));
  ASSERT_EQ(rec.signals().size(), 1u);
  EXPECT_EQ(rec.signals()[0]["detail"], text.substr(0, 4000));
}

TEST(EmitConsoleSignal, AuditRowAndOriginCopiesInClickHouse) {
  const std::string session = "sig-" + hex_lower(random_bytes(6));
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "\u00e9";
  emit_console_signal(session, "grant_created", "medium", text, "fleet-console", "");

  std::string audit = testbed::clickhouse_query(
      "SELECT kind, rule, severity, tool, host, os_user, length(event_id), lengthUTF8(text) FROM datalake.ai_audit "
      "WHERE session_id = '" + session + "' FORMAT TSV");
  EXPECT_EQ(audit, "signal\tgrant_created\tmedium\tconsole\tfleet-console\t\t32\t800\n");

  auto events = origin_test::rows_where("origin.ai_events", "session_id = '" + session + "'");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["agent"], "fleet-console");
  EXPECT_EQ(events[0]["tool_name"], "console");
  EXPECT_EQ(events[0]["event_type"], "grant_created");
  EXPECT_EQ(events[0]["text"], text) << "the origin copy keeps the whole text";
  EXPECT_EQ(events[0]["host"], "fleet-console");
  EXPECT_EQ(events[0]["os_user"], "appliance");
  auto signals = origin_test::rows_where("origin.ai_signals", "session_id = '" + session + "'");
  ASSERT_EQ(signals.size(), 1u);
  EXPECT_EQ(signals[0]["title"], "Grant created");
  EXPECT_EQ(signals[0]["event_id"], events[0]["event_id"]);
}

}  // namespace
}  // namespace drovix::host
