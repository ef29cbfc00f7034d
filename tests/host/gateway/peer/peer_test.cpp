// The gateway's data-lake reads against a recording ClickHouse peer, for
// what the test server (ClickHouse 18.16) cannot show: its system.columns
// has no "position" column for the catalog's column query, it has no
// per-table privileges to deny a desk identity one table (ACCESS_DENIED),
// and it quotes 64-bit integers unless told not to. The peer also stands in
// for an unreachable database.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>

#include <gtest/gtest.h>

#include "host/src/gateway/catalog.hpp"
#include "host/src/gateway/grants.hpp"
#include "host/src/gateway/sql_guard.hpp"
#include "tests/testbed/http_peer.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::host;
using drovix::OJson;
using testbed::PeerReply;
using testbed::PeerRequest;

namespace {

std::mutex g_mu;
std::function<PeerReply(const PeerRequest&)> g_script;
testbed::HttpPeer* g_peer = nullptr;
std::string g_home;

class PeerHome : public ::testing::Environment {
 public:
  void SetUp() override {
    g_peer = new testbed::HttpPeer([](const PeerRequest& req) {
      std::lock_guard lock(g_mu);
      return g_script ? g_script(req) : PeerReply{};
    });
    char tmpl[] = "/tmp/drovix-gateway-peer-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    g_home = tmpl;
    std::filesystem::create_directories(g_home + "/fleetcerts");
    OJson host = {{"hostname", "drovix.test"},
                  {"clickhouse", {{"url", g_peer->url("/")}, {"user", "host"}, {"desk_password", "dpw"}}}};
    testbed::write_text(g_home + "/fleetcerts/host.json", host.dump());
    OJson perms = {{"mcp", OJson::array({"datalake"})}, {"datalake_desk", "rates"}};
    OJson all = {{"mcp", true}, {"datalake_desk", "all"}};
    std::filesystem::create_directories(g_home + "/vmstate");
    testbed::write_text(g_home + "/vmstate/sessions.json",
                        OJson{{"8001", {{"perms", perms}}}, {"8002", {{"perms", all}}}}.dump());
    ::setenv("DROVIX_HOME", g_home.c_str(), 1);
  }
  void TearDown() override {
    delete g_peer;
    std::error_code ec;
    std::filesystem::remove_all(g_home, ec);
  }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new PeerHome);

void script(std::function<PeerReply(const PeerRequest&)> s) {
  std::lock_guard lock(g_mu);
  g_script = std::move(s);
}

bool starts(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

PeerReply ok(std::string body) {
  PeerReply r;
  r.body = std::move(body);
  return r;
}

PeerReply status(int code, std::string body) {
  PeerReply r;
  r.status = code;
  r.body = std::move(body);
  return r;
}

std::vector<PeerRequest> requests_since(size_t from) {
  auto all = g_peer->requests();
  return std::vector<PeerRequest>(all.begin() + static_cast<long>(from), all.end());
}

const char* kColumnRows =
    R"({"table":"comms_surveillance","name":"ts","type":"DateTime"})"
    "\n"
    R"({"table":"comms_surveillance","name":"desk","type":"String"})"
    "\n"
    R"({"table":"trade_blotter","name":"ts","type":"DateTime"})"
    "\n";

}  // namespace

TEST(LakePeer, CatalogCountsOnlyGrantedTables) {
  script([](const PeerRequest& r) {
    if (starts(r.body, "SELECT scope_value")) return ok(R"({"scope_value":"datalake:trade_blotter","m":42})" "\n");
    if (starts(r.body, "SELECT table, name, type FROM system.columns")) return ok(kColumnRows);
    if (r.body == "SELECT count() FROM datalake.trade_blotter") return ok(" 17\n");
    return ok("");
  });
  size_t before = g_peer->requests().size();
  McpToolOutput out = describe_datalake_tables("10.0.9.12");
  ASSERT_FALSE(out.is_error) << out.text;
  EXPECT_EQ(out.text,
            "Data Lake MCP \u00b7 desk role: All desks\n\n"
            "datalake.trade_blotter \u2014 access granted, 42 min left \u00b7 17 rows visible\n"
            "  Trades by desk: trader, symbol, side, qty, price, notional (USD), counterparty, and status (FILLED / "
            "PARTIAL / FAILED / PENDING).\n"
            "  columns: ts DateTime\n"
            "  try: What is our total notional exposure by counterparty? | Which trades are not FILLED, and how much "
            "notional is stuck? | Show this week's largest trades with trader and counterparty.\n\n"
            "datalake.comms_surveillance \u2014 NO ACCESS: an admin must grant it in the Vuviv Avivu Rozoziv\n"
            "  Communications captured for surveillance: channel, desk, sender, recipient, a flagged marker, a 0-100 "
            "risk score and a one-line summary.\n"
            "  columns: ts DateTime, desk String\n"
            "  try: List flagged communications with risk above 60, highest first. | Which senders have more than "
            "one flagged message? | Summarise the policy concern behind each flagged Chat message.\n\n"
            "Query with datalake_query: one read-only SELECT; results are capped at 200 rows.");
  auto reqs = requests_since(before);
  // grants, columns, one count as the desk, one audit insert.
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[1].body,
            "SELECT table, name, type FROM system.columns WHERE database='datalake' AND table IN "
            "('trade_blotter','comms_surveillance') ORDER BY table, position");
  EXPECT_EQ(reqs[1].header("X-ClickHouse-User"), "host");
  EXPECT_EQ(reqs[2].header("X-ClickHouse-User"), "qelt_desk_all");
  EXPECT_EQ(reqs[2].target, "/?default_format=TabSeparated");
}

TEST(LakePeer, CatalogEdges) {
  // A failed count shows "?"; only comms_surveillance reported.
  script([](const PeerRequest& r) {
    if (starts(r.body, "SELECT scope_value")) return ok(R"({"scope_value":"datalake","m":"7"})" "\n");
    if (starts(r.body, "SELECT table, name")) return ok(R"({"table":"comms_surveillance","name":"ts","type":"DateTime"})");
    if (starts(r.body, "SELECT count()")) return status(500, "boom");
    return ok("");
  });
  std::string text = describe_datalake_tables("10.0.9.11").text;
  EXPECT_NE(text.find("datalake.comms_surveillance \u2014 access granted, 7 min left \u00b7 ? rows visible"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("trade_blotter \u2014"), std::string::npos);
  EXPECT_EQ(text.find("empty"), std::string::npos);

  script([](const PeerRequest& r) { return starts(r.body, "SELECT table") ? ok("") : ok(""); });
  EXPECT_EQ(describe_datalake_tables("10.0.9.11").text,
            "Data Lake MCP \u00b7 desk role: Rates (the database returns only this desk's rows)\n\n"
            "The data lake is empty: an admin can load the demo data from the console.\n"
            "Query with datalake_query: one read-only SELECT; results are capped at 200 rows.");

  script([](const PeerRequest& r) { return starts(r.body, "SELECT table") ? status(404, "  no table  ") : ok(""); });
  McpToolOutput err = describe_datalake_tables("10.0.9.11");
  EXPECT_TRUE(err.is_error);
  EXPECT_EQ(err.text, "schema error: HTTP Error 404: no table");
}

TEST(LakePeer, DeniedByTheDatabase) {
  std::string denied = "Code: 497. DB::Exception: qelt_desk_rates: Not enough privileges. To execute this query it's "
                       "necessary to have grant SELECT(label) ON datalake.grants. (ACCESS_DENIED) " +
                       std::string(400, 'z');
  script([&denied](const PeerRequest& r) {
    if (r.header("X-ClickHouse-User") == "qelt_desk_rates") return status(500, denied);
    return ok("");
  });
  size_t before = g_peer->requests().size();
  McpToolOutput out = run_datalake_query("select label from datalake.grants", "10.0.9.11");
  EXPECT_TRUE(out.is_error);
  EXPECT_EQ(out.text, "query error: " + denied.substr(0, 300));
  auto reqs = requests_since(before);
  ASSERT_EQ(reqs.size(), 3u);  // grants, the statement, the audit insert
  EXPECT_EQ(reqs[0].target,
            "/?default_format=JSONEachRow&output_format_json_quote_64bit_integers=0");
  EXPECT_EQ(reqs[1].target, "/?default_format=TabSeparatedWithNames");
  EXPECT_EQ(reqs[1].body, "select label from datalake.grants");
  EXPECT_EQ(reqs[1].header("X-ClickHouse-Key"), "dpw");
  OJson row = OJson::parse(reqs[2].body);
  EXPECT_EQ(row["kind"], "blocked");
  EXPECT_EQ(row["rule"], "denied_by_database");
  EXPECT_EQ(row["severity"], "high");
  EXPECT_EQ(row["text"], "BLOCKED by ClickHouse [desk=rates]: select label from datalake.grants :: " +
                             denied.substr(0, 300));

  // The same for the describe tool's latest rows: its own error text, no
  // audit row.
  script([&denied](const PeerRequest& r) {
    if (starts(r.body, "SELECT scope_value")) return ok(R"({"scope_value":"datalake","m":5})");
    if (starts(r.body, "SELECT * FROM")) return status(500, denied);
    return ok("ts\tDateTime\t\t\n");
  });
  before = g_peer->requests().size();
  McpToolOutput d = describe_datalake_table("trade_blotter", "10.0.9.11");
  EXPECT_TRUE(d.is_error);
  EXPECT_EQ(d.text.rfind("describe error: HTTP Error 500: Code: 497.", 0), 0u) << d.text;
  EXPECT_EQ(requests_since(before).size(), 3u);
}

TEST(LakePeer, UnreachableDatabase) {
  script([](const PeerRequest& r) {
    if (r.header("X-ClickHouse-User") == "qelt_desk_rates") {
      PeerReply reset;
      reset.reset = true;
      return reset;
    }
    return ok("");
  });
  size_t before = g_peer->requests().size();
  McpToolOutput out = run_datalake_query("select 1", "10.0.9.11");
  EXPECT_TRUE(out.is_error);
  EXPECT_EQ(out.text.rfind("query error: ", 0), 0u);
  EXPECT_GT(out.text.size(), 13u);
  for (const auto& r : requests_since(before))
    EXPECT_EQ(r.target.find("INSERT"), std::string::npos) << "no audit row for an unreachable database";
  EXPECT_FALSE(std::filesystem::exists(g_home + "/vmstate/taint"));

  // Grants that cannot be read grant nothing; the snapshot keeps only the
  // policy's export row.
  script([](const PeerRequest&) { return status(503, "down"); });
  EXPECT_EQ(active_grant_minutes(), OJson::object());
  EXPECT_EQ(run_datalake_query("select 1 from trade_blotter", "10.0.9.11").text,
            "BLOCKED: no active grant for datalake.trade_blotter. An admin must grant access in the Vuviv Avivu "
            "Rozoziv first.");
  testbed::write_text(g_home + "/fleetcerts/policy.json", R"({"export_grant":false})");
  OJson snap = grants_snapshot();
  EXPECT_EQ(snap["grants"].size(), 1u);
  std::filesystem::remove(g_home + "/fleetcerts/policy.json");
  EXPECT_EQ(grants_snapshot()["grants"], OJson::array());
}
