#include "host/src/gateway/catalog.hpp"

#include <gtest/gtest.h>

#include "fixture.hpp"

using namespace drovix::host;
using drovix::OJson;
using namespace gateway_test;

namespace {

class Catalog : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_state();
    write_sessions(OJson{{"8001", lake_session("credit")}, {"8002", lake_session("all")}});
  }
};

const char* kTradeColumns =
    "ts DateTime, trade_id String, desk String, trader String, symbol String, side String, qty Float64, price "
    "Float64, notional Float64, counterparty String, status String";

}  // namespace

// The catalog listing itself runs against a recording peer (peer/): the
// test server's system.columns has no "position" column.
TEST(CatalogText, DeskLabels) {
  EXPECT_EQ(desk_label("all"), "All desks");
  EXPECT_EQ(desk_label("fx"), "FX");
  EXPECT_EQ(desk_label("credit"), "Credit");
  EXPECT_EQ(desk_label("equities"), "Equities");
}

TEST_F(Catalog, DescribesOneGrantedTable) {
  for (const char* bad : {"Trade_Blotter", "", "datalake.grants"}) {
    McpToolOutput out = describe_datalake_table(bad, "10.0.9.11");
    EXPECT_TRUE(out.is_error);
    EXPECT_EQ(out.text, "Unknown table. Tables: trade_blotter, comms_surveillance") << bad;
  }
  McpToolOutput blocked = describe_datalake_table("trade_blotter", "10.0.9.11");
  EXPECT_TRUE(blocked.is_error);
  EXPECT_EQ(blocked.text, "BLOCKED: no active grant for datalake.trade_blotter. An admin must grant access first.");
  auto rows = audit_rows("tool = 'datalake_describe' AND text LIKE '%[desk=credit]'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["text"], "BLOCKED (no active grant for trade_blotter) [desk=credit]");
  EXPECT_EQ(rows[0]["rule"], "ungranted_access");

  add_grant("datalake:trade_blotter", 10);
  for (const char* name : {"datalake.trade_blotter", "trade_blotter", "  trade_blotter "}) {
    McpToolOutput out = describe_datalake_table(name, "10.0.9.11");
    ASSERT_FALSE(out.is_error) << out.text;
    std::string columns = kTradeColumns;
    for (size_t at; (at = columns.find(", ")) != std::string::npos;) columns.replace(at, 2, "\n");
    EXPECT_EQ(out.text, "datalake.trade_blotter: Trades by desk: trader, symbol, side, qty, price, notional (USD), "
                        "counterparty, and status (FILLED / PARTIAL / FAILED / PENDING).\ncolumns:\n" +
                            columns +
                            "\n\nlatest 5 rows:\nts\ttrade_id\tdesk\ttrader\tsymbol\tside\tqty\tprice\tnotional\t"
                            "counterparty\tstatus\n");
  }
  EXPECT_EQ(audit_rows("session_id = 'vm-8001' AND text = '[desk=credit] describe trade_blotter'").size(), 3u);
  EXPECT_EQ(describe_datalake_table("comms_surveillance", "10.0.9.11").is_error, true);
  EXPECT_EQ(describe_datalake_table("trade_blotter", "10.0.9.19").text, "This agent was not launched with the Data Lake MCP.");
}
