#include "host/src/gateway/audit.hpp"

#include <gtest/gtest.h>

#include "fixture.hpp"
#include "host/src/gateway/router.hpp"
#include "tests/testbed/clickhouse.hpp"

using namespace drovix::host;
using drovix::OJson;
using namespace gateway_test;

namespace {

std::string texts(const std::vector<AuditRow>& rows) {
  std::string out;
  for (const auto& r : rows) out += r.dump() + "\n";
  return out;
}

}  // namespace

TEST(BatchRows, FieldRules) {
  OJson batch = OJson::parse(R"({
    "events": [{"session_id":"s1","event_id":"e1","event_type":"user_prompt","text":"hi","host":""}, 5],
    "signals": [{"session_id":"s1","event_id":"e2","rule":"r","severity":"high","title":"T","detail":"D","os_user":""},
                {"title":"Only title"}, {"title":"","detail":": only detail"}, {}],
    "hooks": [{"session_id":"s1","hook":"PreToolUse","tool":"search","decision":"allow","detail":""},
              {"decision":"","detail":"only detail","host":"ignored"}]
  })");
  auto rows = batch_audit_rows(batch);
  ASSERT_EQ(rows.size(), 8u);
  const char* expected =
      R"({"session_id":"s1","event_id":"e1","kind":"event","rule":"user_prompt","severity":"","tool":"","text":"hi","host":"","os_user":"appliance"})"
      "\n"
      R"({"session_id":"","event_id":"","kind":"event","rule":"","severity":"","tool":"","text":"","host":"fleet-umbrix","os_user":"appliance"})"
      "\n"
      R"({"session_id":"s1","event_id":"e2","kind":"signal","rule":"r","severity":"high","tool":"","text":"T: D","host":"fleet-umbrix","os_user":""})"
      "\n"
      R"({"session_id":"","event_id":"","kind":"signal","rule":"","severity":"","tool":"","text":"Only title","host":"fleet-umbrix","os_user":"appliance"})"
      "\n"
      R"({"session_id":"","event_id":"","kind":"signal","rule":"","severity":"","tool":"","text":"only detail","host":"fleet-umbrix","os_user":"appliance"})"
      "\n"
      R"({"session_id":"","event_id":"","kind":"signal","rule":"","severity":"","tool":"","text":"","host":"fleet-umbrix","os_user":"appliance"})"
      "\n"
      R"({"session_id":"s1","event_id":"","kind":"hook","rule":"PreToolUse","severity":"","tool":"search","text":"allow","host":"fleet-umbrix","os_user":"appliance"})"
      "\n"
      R"({"session_id":"","event_id":"","kind":"hook","rule":"","severity":"","tool":"","text":"only detail","host":"fleet-umbrix","os_user":"appliance"})"
      "\n";
  EXPECT_EQ(texts(rows), expected);

  // Lists that are no arrays count as empty; texts are cut to 4000 characters.
  EXPECT_TRUE(batch_audit_rows(OJson::parse(R"({"events":{"a":1},"signals":"x"})")).empty());
  OJson long_event = OJson{{"events", OJson::array({OJson{{"text", std::string(5000, 'x')}}})}};
  EXPECT_EQ(batch_audit_rows(long_event)[0]["text"].get<std::string>().size(), 4000u);
  EXPECT_EQ(batch_audit_rows(OJson{{"events", OJson::array({OJson{{"text", "\u00e9" + std::string(4100, 'x')}}})}})[0]
                ["text"]
                    .get<std::string>()
                    .size(),
            4001u);
}

TEST(EventIngest, BatchReachesAuditAndOriginTables) {
  reset_state();
  write_sessions(OJson{{"8001", lake_session("rates")}});
  OJson batch = OJson::parse(R"({
    "events": [{"session_id":"ingest-mark","event_id":"ev-1","event_type":"user_prompt","text":"hello","ts":1700000000000}],
    "signals": [{"session_id":"ingest-mark","event_id":"ev-1","rule":"egress_blocked","severity":"high","title":"Blocked","detail":"x"}],
    "hooks": []
  })");
  auto resp = route_gateway_request(request("POST", "/v1/events", batch.dump()));
  EXPECT_EQ(resp.status, 202);
  EXPECT_EQ(resp.body, R"({"accepted":1,"signals":1,"hooks":0})");
  EXPECT_EQ(audit_rows("session_id = 'ingest-mark'").size(), 2u);
  std::string origin = testbed::clickhouse_query(
      "SELECT event_type, text FROM origin.ai_events WHERE text = 'hello' AND event_type = 'user_prompt' "
      "FORMAT TSV");
  EXPECT_NE(origin.find("user_prompt\thello"), std::string::npos) << origin;
  EXPECT_NE(testbed::clickhouse_query("SELECT count() FROM origin.ai_signals WHERE rule = 'egress_blocked'"), "0\n");
}

TEST(GatewayAudit, OriginCopiesByKind) {
  write_gateway_audit("signal", "archive", "archive_created", "low", "origin-copy-archive", "s-a");
  write_gateway_audit("signal", "other", "some_rule", "low", "origin-copy-other", "s-b");
  write_gateway_audit("blocked", "datalake_query", "ungranted_access", "high", "origin-copy-blocked", "s-c");
  write_gateway_audit("datalake_query", "datalake_query", "", "", std::string(5000, 'q') + "origin-copy-long", "s-d");
  EXPECT_EQ(audit_rows("text IN ('origin-copy-archive', 'origin-copy-other', 'origin-copy-blocked')").size(), 3u);
  EXPECT_EQ(audit_rows("session_id = 's-d'")[0]["text"].get<std::string>(), std::string(4000, 'q'));
  auto count = [](const std::string& text) {
    return testbed::clickhouse_query("SELECT count() FROM origin.ai_events WHERE position(text, '" + text +
                                     "') > 0 AND agent = 'drovix-gateway'");
  };
  EXPECT_EQ(count("origin-copy-archive"), "1\n");
  EXPECT_EQ(count("origin-copy-other"), "0\n");
  EXPECT_EQ(count("origin-copy-blocked"), "1\n");
  // The origin copy keeps the whole text.
  EXPECT_EQ(count("origin-copy-long"), "1\n");
}
