#include "host/src/gateway/sql_guard.hpp"

#include <gtest/gtest.h>

#include "fixture.hpp"
#include "common/text.hpp"
#include "host/src/gateway/desk.hpp"

#include <filesystem>
#include "tests/testbed/clickhouse.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::host;
using drovix::OJson;
using namespace gateway_test;

namespace {

class SqlGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_state();
    write_sessions(OJson{{"8001", lake_session("rates")}, {"8002", lake_session("all", "2025-03-05 10:00:00")}});
  }
};

}  // namespace

TEST(SqlGuardText, Checks) {
  struct Case {
    const char* sql;
    const char* refusal;    // nullptr: passes
    const char* statement;  // what is sent, when it passes
  } cases[] = {
      {"  select 1 ;;  ", nullptr, "select 1"},
      {"select 1;", nullptr, "select 1"},
      {"SELECT 1\u00a0;\u2003", nullptr, "SELECT 1"},
      {"select 1; select 2", kNotSingle, nullptr},
      {"select ';'", kNotSingle, nullptr},
      {"insert into t select 1", kNotReadOnly, nullptr},
      {"", kNotReadOnly, nullptr},
      {"42", kNotReadOnly, nullptr},
      {" (select 1)", kNotReadOnly, nullptr},
      {"select name from system.tables", kForbiddenWord, nullptr},
      {"select 1 -- drop", kForbiddenWord, nullptr},
      {"SELECT * FROM t WHERE x = 'DROP'", kForbiddenWord, nullptr},
      {"with x as (select 1) select * from x where 1=1 or kill", kForbiddenWord, nullptr},
      {"select 2drop3", kForbiddenWord, nullptr},
      {"select updated_at, last_update, optimized, dropped, systems from datalake.trade_blotter", nullptr,
       "select updated_at, last_update, optimized, dropped, systems from datalake.trade_blotter"},
      {"withdraw", nullptr, "withdraw"},
      {"EXPLAIN select 1", nullptr, "EXPLAIN select 1"},
      {"desc datalake.trade_blotter", nullptr, "desc datalake.trade_blotter"},
      {"show tables", nullptr, "show tables"},
  };
  for (const auto& c : cases) {
    GuardedStatement g = guard_statement(c.sql);
    if (c.refusal) {
      ASSERT_TRUE(g.refusal.has_value()) << c.sql;
      EXPECT_EQ(*g.refusal, c.refusal) << c.sql;
    } else {
      EXPECT_FALSE(g.refusal.has_value()) << c.sql << ": " << g.refusal.value_or("");
      EXPECT_EQ(g.statement, c.statement);
    }
  }
  for (const char* w : {"drop", "kill", "alter", "grant", "insert", "create", "attach", "detach", "rename", "revoke",
                        "system", "delete", "update", "truncate", "optimize"})
    EXPECT_TRUE(is_forbidden_word(w)) << w;
}

TEST(SqlGuardText, MentionedTablesAreWholeWordsInCatalogOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(mentioned_lake_tables("select * from datalake.trade_blotter"), V{"trade_blotter"});
  EXPECT_EQ(mentioned_lake_tables("from trade_blotter t"), V{"trade_blotter"});
  EXPECT_EQ(mentioned_lake_tables("from `trade_blotter`"), V{"trade_blotter"});
  EXPECT_EQ(mentioned_lake_tables("from comms_surveillance c join trade_blotter t"),
            (V{"trade_blotter", "comms_surveillance"}));
  for (const char* other : {"from trade_blotter_v2", "from xtrade_blotter", "from 1trade_blotter",
                            "from \u00e9trade_blotter", "select 1"})
    EXPECT_TRUE(mentioned_lake_tables(other).empty()) << other;
}

TEST_F(SqlGuard, AccessComesFromTheSessionRecord) {
  OJson no_mcp = lake_session("rates");
  no_mcp["perms"]["mcp"] = OJson::array();
  OJson zero_mcp = lake_session("rates");
  zero_mcp["perms"]["mcp"] = 0;
  OJson true_mcp = lake_session("fx");
  true_mcp["perms"]["mcp"] = true;
  OJson both_missing = OJson{{"status", "running"}, {"perms", OJson::object()}};
  OJson capital = lake_session("Rates");
  OJson blank = lake_session("fx ");
  write_sessions(OJson{{"8001", lake_session("rates")},
                       {"8002", no_mcp},
                       {"8003", zero_mcp},
                       {"8004", true_mcp},
                       {"8005", both_missing},
                       {"8006", capital},
                       {"8007", blank}});
  struct Case {
    const char* ip;
    const char* desk;  // nullptr: refused
    const char* refusal;
  } cases[] = {
      {"10.0.9.11", "rates", nullptr},          {"10.0.9.12", nullptr, kNotLaunchedWithLake},
      {"10.0.9.13", nullptr, kNotLaunchedWithLake}, {"10.0.9.14", "fx", nullptr},
      {"10.0.9.15", nullptr, kNotLaunchedWithLake}, {"10.0.9.16", nullptr, kNoDeskRole},
      {"10.0.9.17", nullptr, kNoDeskRole},          {"10.0.9.18", nullptr, kNotLaunchedWithLake},
      {"10.0.9.20", nullptr, kNotLaunchedWithLake}, {"10.0.9.5", nullptr, kNotLaunchedWithLake},
  };
  for (const auto& c : cases) {
    DeskAccess a = check_datalake_access(c.ip);
    if (c.desk) {
      EXPECT_TRUE(a.allowed) << c.ip << ": " << a.refusal;
      EXPECT_EQ(a.desk, c.desk) << c.ip;
    } else {
      EXPECT_FALSE(a.allowed) << c.ip;
      EXPECT_EQ(a.refusal, c.refusal) << c.ip;
    }
  }
  EXPECT_EQ(check_datalake_access("10.0.9.11").session, "vm-8001");

  // A registry that cannot be parsed closes the lake for that call only.
  write_file(home().dir + "/vmstate/sessions.json", "{broken");
  EXPECT_EQ(check_datalake_access("10.0.9.11").refusal, kNotLaunchedWithLake);
  EXPECT_EQ(run_datalake_query("select 'refused-access-mark'", "10.0.9.11").text, kNotLaunchedWithLake);
  EXPECT_TRUE(audit_rows("text LIKE '%refused-access-mark%'").empty());
}

TEST_F(SqlGuard, RunsAsTheDeskIdentityAndAudits) {
  add_grant("datalake", 30);
  testbed::clickhouse_query(
      "INSERT INTO datalake.trade_blotter (ts, trade_id, desk, notional) VALUES (now(), 'R-1', 'rates', 1), "
      "(now(), 'F-1', 'fx', 2), (now(), 'R-2', 'rates', 3)");
  McpToolOutput rates = run_datalake_query("  select trade_id FROM datalake.trade_blotter ORDER BY trade_id ;; ",
                                           "10.0.9.11");
  EXPECT_FALSE(rates.is_error) << rates.text;
  EXPECT_EQ(rates.text, "trade_id\nF-1\nR-1\nR-2\n");
  // The statement runs as the desk's identity, whose rights the database
  // enforces: it may read only the lake's database.
  McpToolOutput other = run_datalake_query("select 1 from default.anything", "10.0.9.11");
  EXPECT_TRUE(other.is_error);
  EXPECT_NE(other.text.find("qelt_desk_rates"), std::string::npos) << other.text;
  McpToolOutput all = run_datalake_query("select 1 from default.anything", "10.0.9.12");
  EXPECT_NE(all.text.find("qelt_desk_all"), std::string::npos) << all.text;

  auto rows = audit_rows("text = '[desk=rates] select trade_id FROM datalake.trade_blotter ORDER BY trade_id'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["session_id"], "vm-8001");
  EXPECT_EQ(rows[0]["kind"], "datalake_query");
  EXPECT_EQ(rows[0]["tool"], "datalake_query");
  EXPECT_EQ(rows[0]["rule"], "");
  EXPECT_EQ(rows[0]["severity"], "");
  EXPECT_EQ(rows[0]["host"], "fleet-umbrix");
  EXPECT_EQ(rows[0]["os_user"], "appliance");

  // No rows at all: the text says so, and the query is still audited.
  McpToolOutput empty = run_datalake_query("select trade_id from datalake.trade_blotter where trade_id = 'none' "
                                           "format TSV", "10.0.9.12");
  EXPECT_FALSE(empty.is_error) << empty.text;
  EXPECT_EQ(empty.text, "(no rows)");
  EXPECT_EQ(audit_rows("text LIKE '[desk=all] %trade_id = \\'none\\' format TSV'").size(), 1u);
  testbed::clickhouse_query("TRUNCATE TABLE datalake.trade_blotter");
}

TEST_F(SqlGuard, GuardRefusalsWriteNoAuditRow) {
  for (const char* sql : {"insert into datalake.trade_blotter select 'guard-mark'",
                          "select 'guard-mark'; select 2", "select 'guard-mark' from system.tables"}) {
    McpToolOutput out = run_datalake_query(sql, "10.0.9.11");
    EXPECT_TRUE(out.is_error) << sql;
  }
  EXPECT_TRUE(audit_rows("text LIKE '%guard-mark%'").empty());
}

TEST_F(SqlGuard, LakeTablesNeedALiveGrant) {
  McpToolOutput out = run_datalake_query("SELECT count() FROM comms_surveillance, datalake.trade_blotter", "10.0.9.11");
  EXPECT_TRUE(out.is_error);
  EXPECT_EQ(out.text,
            "BLOCKED: no active grant for datalake.trade_blotter, datalake.comms_surveillance. An admin must grant "
            "access in the Vuviv Avivu Rozoziv first.");
  auto rows = audit_rows("rule = 'ungranted_access' AND text LIKE '%FROM comms_surveillance, datalake.trade_blotter'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["kind"], "blocked");
  EXPECT_EQ(rows[0]["severity"], "high");
  EXPECT_EQ(rows[0]["tool"], "datalake_query");
  EXPECT_EQ(rows[0]["text"],
            "BLOCKED (no active grant for trade_blotter, comms_surveillance) [desk=rates]: SELECT count() FROM "
            "comms_surveillance, datalake.trade_blotter");

  // Expired and revoked grants count for nothing; a table grant covers only
  // its table; "datalake" covers every table.
  add_grant("datalake", -5);
  add_grant("datalake:trade_blotter", 30, 0);
  add_grant("datalake:comms_surveillance", 30);
  EXPECT_EQ(run_datalake_query("SELECT count() AS n FROM datalake.comms_surveillance", "10.0.9.11").text, "n\n0\n");
  EXPECT_TRUE(run_datalake_query("SELECT count() FROM datalake.trade_blotter", "10.0.9.11").is_error);
  add_grant("datalake", 10);
  McpToolOutput both = run_datalake_query("SELECT count() AS n FROM datalake.trade_blotter", "10.0.9.11");
  EXPECT_FALSE(both.is_error) << both.text;
}

TEST_F(SqlGuard, DatabaseErrorsAreAuditedAndNotTainted) {
  McpToolOutput out = run_datalake_query("select * from datalake.no_such_table_err_mark", "10.0.9.11");
  EXPECT_TRUE(out.is_error);
  ASSERT_EQ(out.text.rfind("query error: ", 0), 0u) << out.text;
  EXPECT_NE(out.text.find("no_such_table_err_mark"), std::string::npos);
  EXPECT_LE(drovix::char_count(out.text), 13u + 300u);
  auto rows = audit_rows("text LIKE 'ERROR [desk=rates]: select * from datalake.no_such_table_err_mark :: %'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["kind"], "datalake_query");
  EXPECT_FALSE(std::filesystem::exists(home().dir + "/vmstate/taint"));
}

TEST_F(SqlGuard, AnswersAreRecordedAsTaint) {
  add_grant("datalake:trade_blotter", 30);
  testbed::clickhouse_query(
      "INSERT INTO datalake.trade_blotter (ts, trade_id, desk, trader, symbol, side, qty, price, notional, "
      "counterparty, status) VALUES (now(), 'T-00017', 'rates', 'Ann', 'UST10Y', 'BUY', 10, 99.5, 600, "
      "'Acme Bank', 'FILLED'), (now(), 'T-00018', 'rates', 'Bob', 'UST2Y', 'SELL', 5, 100, 2500000, 'Acme Bank', "
      "'PENDING')");
  McpToolOutput out = run_datalake_query(
      "select trade_id, notional, counterparty from datalake.trade_blotter where desk = 'rates' order by trade_id",
      "10.0.9.11");
  ASSERT_FALSE(out.is_error) << out.text;
  EXPECT_EQ(out.text, "trade_id\tnotional\tcounterparty\nT-00017\t600\tAcme Bank\nT-00018\t2500000\tAcme Bank\n");
  EXPECT_EQ(testbed::read_text(home().dir + "/vmstate/taint/8001@2025-03-04T09:15:02.txt"),
            "n:2500000.0\nn:2500600.0\ns:t-00017\ns:t-00018\n");
  testbed::clickhouse_query("TRUNCATE TABLE datalake.trade_blotter");
}
