#include "host/src/origin/ingest.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/encoding.hpp"
#include "host/src/http/outbound.hpp"
#include "origin_home.hpp"
#include "tests/testbed/clickhouse.hpp"
#include "tests/testbed/http_peer.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

using origin_test::kOriginHost;
using origin_test::kTenant;

constexpr const char* kId = "<random id>";

OJson event_row(OJson fields) {
  OJson row = {{"tenant_id", kTenant}, {"user_id", ""},       {"event_id", kId},      {"ts", ""},
               {"host", ""},           {"os_user", ""},       {"session_id", ""},     {"agent", "drovix-agent"},
               {"agent_version", ""},  {"model", ""},         {"event_type", ""},     {"tool_name", ""},
               {"tool_use_id", ""},    {"tool_input", ""},    {"text", ""},           {"duration_ms", 0},
               {"input_tokens", 0},    {"output_tokens", 0},  {"cost_usd", 0},        {"is_error", 0}};
  for (const auto& [k, v] : fields.items()) row[k] = v;
  return row;
}

OJson signal_row(OJson fields) {
  OJson row = {{"tenant_id", kTenant}, {"user_id", ""}, {"signal_id", kId}, {"ts", ""},        {"session_id", ""},
               {"event_id", ""},       {"rule", ""},    {"severity", ""},   {"title", ""},     {"detail", ""},
               {"field", ""},          {"match_offset", 0}, {"match_len", 0}, {"host", ""},   {"os_user", ""}};
  for (const auto& [k, v] : fields.items()) row[k] = v;
  return row;
}

bool is_v4(const OJson& v) { return v.is_string() && v.get<std::string>().size() == 36 && v.get<std::string>()[14] == '4'; }

// Replaces a random id with the marker after checking that it is one.
void mask(OJson& row, const char* key) {
  EXPECT_TRUE(is_v4(row[key])) << key << ": " << row[key];
  row[key] = kId;
}

OriginSettings enabled_settings() {
  OriginSettings s;
  s.enabled = true;
  s.tenant_id = kTenant;
  s.host = kOriginHost;
  return s;
}

TEST(OriginBatchRows, MixedBatchBecomesTheExpectedRows) {
  origin_test::write_registry({{"8001", {{"started", "2025-03-01 09:15:00"}, {"by", "alice"}}}});
  OJson batch = OJson::parse(R"({
    "events": [
      {"event_id": "e1", "ts": 1740820500250, "session_id": "ignored", "agent_version": "1.2",
       "model": "claude-Sonnet-4", "event_type": "assistant", "text": "hi", "duration_ms": "12",
       "input_tokens": 1000, "output_tokens": 500, "host": "agent-own", "cost_usd": 9},
      {"ts": 1740820500999.7, "event_type": "user_prompt", "text": {"a": 1}, "model": null},
      "not an object"
    ],
    "signals": [
      {"event_id": "e1", "ts": 1740820501000, "rule": "r1", "severity": "high", "title": "T", "detail": "D",
       "field": "F", "match_offset": 12, "match_len": 4},
      {"ts": "later", "rule": "r2"},
      {"event_id": "zz", "ts": 5, "rule": "r3", "severity": ""}
    ],
    "hooks": [
      {"hook": "PreToolUse", "tool": "A", "decision": "allow", "detail": "in1", "ts": 10},
      {"hook": "PreToolUse", "tool": "A", "decision": "block", "detail": "in2", "ts": 11},
      {"hook": "PostToolUse", "tool": "A", "decision": "allow", "detail": "", "ts": 12},
      {"hook": "PostToolUse", "tool": "A", "decision": "allow", "ts": 13},
      {"hook": "UserPromptSubmit", "decision": "", "detail": "x", "ts": 14},
      {"hook": "PreToolUse ", "tool": "B", "decision": "allow", "ts": 15},
      7
    ]
  })");
  OriginBatchRows rows = origin_batch_rows(batch, "10.0.9.11", enabled_settings());
  ASSERT_EQ(rows.events.size(), 10u);
  ASSERT_EQ(rows.signals.size(), 4u);
  auto& ev = rows.events;
  auto& sig = rows.signals;

  // The links between rows, before the random ids are masked.
  const OJson id1 = ev[2]["tool_use_id"], id2 = ev[4]["tool_use_id"];
  EXPECT_NE(id1, id2);
  EXPECT_EQ(ev[3]["tool_use_id"], id1);
  EXPECT_EQ(ev[6]["tool_use_id"], id1);
  EXPECT_EQ(ev[5]["tool_use_id"], id2);
  EXPECT_EQ(sig[1]["event_id"], ev[1]["event_id"]) << "a signal without id belongs to the event without id";
  EXPECT_EQ(sig[3]["event_id"], ev[4]["event_id"]) << "the blocked-hook signal points at its hook row";
  for (size_t i = 1; i < ev.size(); ++i) mask(ev[i], "event_id");
  for (size_t i : {2, 3, 4, 5, 6}) mask(ev[i], "tool_use_id");
  for (auto& s : sig) mask(s, "signal_id");
  mask(sig[1], "event_id");
  mask(sig[3], "event_id");
  EXPECT_EQ(sig[1]["ts"].get<std::string>().size(), 23u) << "a time that is not a number is now";
  sig[1]["ts"] = "<now>";

  const std::string session = "fleet-8001-20250301091500", host = "origin.test/vm-8001";
  OJson who = {{"host", host}, {"os_user", "alice"}, {"session_id", session}};
  auto with = [&](OJson fields) {
    for (const auto& [k, v] : who.items()) fields[k] = v;
    return fields;
  };
  std::vector<OJson> want_events = {
      event_row(with({{"event_id", "1e18e267-a666-5678-bb76-16aa379e24d1"}, {"ts", "2025-03-01 09:15:00.250"},
                      {"agent_version", "1.2"}, {"model", "claude-Sonnet-4"}, {"event_type", "assistant"},
                      {"text", "hi"}, {"duration_ms", 12}, {"input_tokens", 1000}, {"output_tokens", 500},
                      {"cost_usd", 0.0105}})),
      event_row(with({{"ts", "2025-03-01 09:15:00.999"}, {"event_type", "user_prompt"}, {"text", "{\"a\":1}"},
                      {"cost_usd", 0.0}})),
      event_row(with({{"ts", "1970-01-01 00:00:00.010"}, {"event_type", "hook.pre_tool_use"}, {"tool_name", "A"},
                      {"tool_use_id", kId}, {"tool_input", "in1"}, {"text", "allow \u00b7 in1"}})),
      event_row(with({{"ts", "1970-01-01 00:00:00.010"}, {"event_type", "tool_call"}, {"tool_name", "A"},
                      {"tool_use_id", kId}, {"tool_input", "in1"}})),
      event_row(with({{"ts", "1970-01-01 00:00:00.011"}, {"event_type", "hook.pre_tool_use"}, {"tool_name", "A"},
                      {"tool_use_id", kId}, {"tool_input", "in2"}, {"text", "block \u00b7 in2"}, {"is_error", 1}})),
      event_row(with({{"ts", "1970-01-01 00:00:00.011"}, {"event_type", "tool_call"}, {"tool_name", "A"},
                      {"tool_use_id", kId}, {"tool_input", "in2"}})),
      event_row(with({{"ts", "1970-01-01 00:00:00.012"}, {"event_type", "hook.post_tool_use"}, {"tool_name", "A"},
                      {"tool_use_id", kId}, {"text", "allow"}})),
      event_row(with({{"ts", "1970-01-01 00:00:00.013"}, {"event_type", "hook.post_tool_use"}, {"tool_name", "A"},
                      {"text", "allow"}})),
      event_row(with({{"ts", "1970-01-01 00:00:00.014"}, {"event_type", "hook.user_prompt_submit"}, {"text", "x"}})),
      event_row(with({{"ts", "1970-01-01 00:00:00.015"}, {"event_type", "hook.pre_tool_use "}, {"tool_name", "B"},
                      {"text", "allow"}})),
  };
  std::vector<OJson> want_signals = {
      signal_row(with({{"ts", "2025-03-01 09:15:01.000"}, {"event_id", "1e18e267-a666-5678-bb76-16aa379e24d1"},
                       {"rule", "r1"}, {"severity", "high"}, {"title", "T"}, {"detail", "D"}, {"field", "F"}})),
      signal_row(with({{"ts", "<now>"}, {"event_id", kId}, {"rule", "r2"}, {"severity", "low"}})),
      signal_row(with({{"ts", "1970-01-01 00:00:00.005"}, {"event_id", stable_event_id("zz")}, {"rule", "r3"},
                       {"severity", "low"}})),
      signal_row(with({{"ts", "1970-01-01 00:00:00.011"}, {"event_id", kId}, {"rule", "hook_blocked"},
                       {"severity", "high"}, {"title", "Blocked by the PreToolUse hook: A"}, {"detail", "in2"}})),
  };
  for (size_t i = 0; i < want_events.size(); ++i) EXPECT_EQ(ev[i], want_events[i]) << "event row " << i;
  for (size_t i = 0; i < want_signals.size(); ++i) EXPECT_EQ(sig[i], want_signals[i]) << "signal row " << i;
  EXPECT_EQ(ev[1]["cost_usd"].dump(), "0.0");
  EXPECT_EQ(ev[2]["cost_usd"].dump(), "0");
}

TEST(OriginBatchRows, IdentityOfTheCallingAddress) {
  origin_test::write_registry({{"8001", {{"by", ""}}}, {"8002", {{"started", "--"}, {"by", 7}}}, {"8003", "x"}});
  struct Case {
    const char* peer;
    const char *session, *user, *host;
  } cases[] = {
      {"10.0.9.11", "vm-8001", "", "origin.test/vm-8001"},
      {"10.0.9.12", "vm-8002", "appliance", "origin.test/vm-8002"},
      {"10.0.9.13", "vm-8003", "appliance", "origin.test/vm-8003"},
      {"10.0.9.18", "vm-8008", "appliance", "origin.test/vm-8008"},
      // Not an agent slot: the record's own session, the origin host.
      {"10.0.9.19", "own", "appliance", "origin.test"},
      {"10.0.9.1", "own", "appliance", "origin.test"},
      {"127.0.0.1", "own", "appliance", "origin.test"},
  };
  OJson batch = {{"events", {{{"session_id", "own"}}}}, {"signals", {{{"session_id", "own"}}}},
                 {"hooks", {{{"session_id", "own"}, {"hook", "PreToolUse"}}}}};
  for (const auto& c : cases) {
    OriginBatchRows rows = origin_batch_rows(batch, c.peer, enabled_settings());
    ASSERT_EQ(rows.events.size(), 3u);
    ASSERT_EQ(rows.signals.size(), 1u);
    std::vector<OJson> all = rows.events;
    all.push_back(rows.signals[0]);
    for (const auto& row : all) {
      EXPECT_EQ(row["session_id"], c.session) << c.peer;
      EXPECT_EQ(row["os_user"], c.user) << c.peer;
      EXPECT_EQ(row["host"], c.host) << c.peer;
    }
  }
  // Without a registry at all the defaults hold.
  std::filesystem::remove(origin_test::home().dir + "/vmstate/sessions.json");
  OriginSessionInfo info = lookup_session_info(8005);
  EXPECT_EQ(info.session_id, "vm-8005");
  EXPECT_EQ(info.user, "appliance");
  EXPECT_EQ(info.host, "origin.test/vm-8005");
}

TEST(OriginIngest, InsertsBothTablesIntoClickHouse) {
  const std::string session = "ingest-" + hex_lower(random_bytes(6));
  OJson batch = {
      {"events", {{{"session_id", session}, {"event_id", "x1"}, {"ts", 1740820500250}, {"model", "haiku"},
                   {"input_tokens", 10}, {"output_tokens", 0}, {"event_type", "assistant"}}}},
      {"signals", {{{"session_id", session}, {"event_id", "x1"}, {"rule", "r"}, {"severity", "medium"}}}},
      {"hooks", {{{"session_id", session}, {"hook", "PreToolUse"}, {"tool", "t"}, {"decision", "block"}}}}};
  testing::internal::CaptureStdout();
  origin_ingest(batch, "10.0.9.200");
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(log, "") << "no insert failed";

  auto events = origin_test::rows_where("origin.ai_events", "session_id = '" + session + "'");
  ASSERT_EQ(events.size(), 3u);
  size_t agent_rows = 0;
  for (const auto& row : events) {
    EXPECT_EQ(row["tenant_id"], kTenant);
    EXPECT_EQ(row["host"], kOriginHost);
    if (row["event_type"] != "assistant") continue;
    ++agent_rows;
    EXPECT_EQ(row["event_id"], stable_event_id("x1"));
    EXPECT_EQ(row["ts"], "2025-03-01 09:15:00.250");
    EXPECT_DOUBLE_EQ(row["cost_usd"].get<double>(), 0.00001);
  }
  EXPECT_EQ(agent_rows, 1u);
  auto signals = origin_test::rows_where("origin.ai_signals", "session_id = '" + session + "'");
  ASSERT_EQ(signals.size(), 2u);
  std::string when = testbed::clickhouse_query("SELECT toString(ts_time) FROM origin.ai_events WHERE event_id = '" +
                                               stable_event_id("x1") + "' AND session_id = '" + session + "'");
  EXPECT_EQ(when, "2025-03-01 09:15:00\n") << "the time text is read as a UTC time";
}

TEST(OriginIngest, RequestsDisabledSinkAndFailures) {
  testbed::HttpPeer peer;
  ClickHouseSettings ch;
  ch.url = peer.url("/");
  OriginSettings settings = enabled_settings();
  OriginSink sink{settings, ClickHouseEndpoint{ch, http_agent()}};
  OJson batch = {{"events", {{{"event_id", "a"}}, {{"event_id", "b"}}}}, {"signals", {{{"rule", "r"}}}}};

  origin_ingest(sink, batch, "10.0.9.200");
  auto seen = peer.requests();
  ASSERT_EQ(seen.size(), 2u) << "one request per table";
  EXPECT_EQ(seen[0].target,
            "/?query=INSERT+INTO+origin.ai_events+FORMAT+JSONEachRow&date_time_input_format=best_effort"
            "&input_format_skip_unknown_fields=1");
  EXPECT_EQ(origin_test::inserted_rows(peer, "ai_events").size(), 2u);
  EXPECT_EQ(origin_test::inserted_rows(peer, "ai_signals").size(), 1u);

  origin_ingest(sink, OJson::object(), "10.0.9.200");
  origin_ingest(sink, {{"events", "no"}, {"signals", 3}, {"hooks", {1, 2}}}, "10.0.9.200");
  EXPECT_EQ(peer.requests().size(), 2u) << "nothing to insert sends nothing";

  settings.enabled = false;
  origin_ingest(sink, batch, "10.0.9.200");
  EXPECT_EQ(peer.requests().size(), 2u) << "a disabled sink sends nothing";

  // A failed event insert is logged and the signal insert still goes out.
  settings.enabled = true;
  ClickHouseSettings closed;
  closed.url = "http://127.0.0.1:" + std::to_string(testbed::free_port()) + "/";
  OriginSink dead{settings, ClickHouseEndpoint{closed, http_agent()}};
  testing::internal::CaptureStdout();
  origin_ingest(dead, batch, "10.0.9.200");
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("origin sink: ai_events insert failed: "), std::string::npos) << log;
  EXPECT_NE(log.find("origin sink: ai_signals insert failed: "), std::string::npos) << log;
}

}  // namespace
}  // namespace drovix::host
