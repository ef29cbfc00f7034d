#include "fixture.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "tests/testbed/certs.hpp"
#include "tests/testbed/clickhouse.hpp"
#include "tests/testbed/testbed.hpp"

namespace fs = std::filesystem;
using drovix::OJson;

namespace gateway_test {
namespace {

Home g_home;

// The desk identity of the database, limited to the data lake's database.
// (Row filters by desk need a newer ClickHouse than the test server.)
void add_desk_user(const testbed::ClickHouseServer& ch, const std::string& desk) {
  std::string name = "qelt_desk_" + desk;
  std::string filters = "<allow_databases><database>datalake</database></allow_databases>";
  testbed::write_text(ch.dir + "/users.d/" + name + ".xml",
                      "<?xml version=\"1.0\"?>\n<yandex><users><" + name + "><password>" + kDeskPassword +
                          "</password><networks><ip>127.0.0.1</ip></networks><profile>default</profile>"
                          "<quota>default</quota>" + filters + "</" + name + "></users></yandex>\n");
  for (int i = 0; i < 300; ++i) {
    if (testbed::clickhouse_exchange("SELECT 1", name, kDeskPassword).status == 200) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  FAIL() << "ClickHouse did not take the desk user " << name;
}

class SuiteHome : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(testbed::is_root()) << "the gateway suite runs as root";
    char tmpl[] = "/tmp/drovix-gateway-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    g_home.dir = tmpl;
    g_home.certs = g_home.dir + "/fleetcerts";
    fs::create_directories(g_home.certs);
    testbed::write_test_certs(testbed::make_test_pki(kHostName, {"127.0.0.1", "10.0.9.1"}), g_home.certs);

    const auto& ch = testbed::clickhouse_server();
    ASSERT_TRUE(ch.ok);
    g_home.clickhouse_port = ch.http_port;
    for (const char* desk : {"fx", "rates", "credit", "equities", "all"}) add_desk_user(ch, desk);

    OJson host = {{"hostname", kHostName},
                  {"clickhouse", {{"url", ch.url}, {"desk_password", kDeskPassword}}},
                  {"origin", {{"enabled", true}, {"tenant_id", "t_gw"}, {"host", "gw-host"}}}};
    write_file(g_home.certs + "/host.json", host.dump());
    write_file(g_home.certs + "/mcp.token", std::string(kToken) + "\n");
    ::setenv("DROVIX_HOME", g_home.dir.c_str(), 1);
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(g_home.dir, ec);
  }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new SuiteHome);

}  // namespace

const Home& home() { return g_home; }

void write_file(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  testbed::write_text(path, text);
}

void write_sessions(const OJson& table) { write_file(g_home.dir + "/vmstate/sessions.json", table.dump()); }

OJson lake_session(const std::string& desk, const std::string& started) {
  return OJson{{"status", "running"},
               {"started", started},
               {"by", "alice"},
               {"perms", {{"mcp", OJson::array({"datalake"})}, {"datalake_desk", desk}}}};
}

void reset_state() {
  std::error_code ec;
  fs::remove_all(g_home.dir + "/vmstate", ec);
  fs::remove_all(g_home.dir + "/appliance-snapshots", ec);
  fs::remove_all(g_home.certs + "/snapshot.pass", ec);
  fs::remove(g_home.certs + "/policy.json", ec);
  write_file(g_home.certs + "/mcp.token", std::string(kToken) + "\n");
  testbed::clickhouse_query("TRUNCATE TABLE datalake.grants");
}

void add_grant(const std::string& scope, int minutes, int active) {
  testbed::clickhouse_query(
      "INSERT INTO datalake.grants (id, label, scope_value, active, expires) SELECT toString(generateUUIDv4()), " +
      sql_quote(scope + " granted by alice") + ", " + sql_quote(scope) + ", " + std::to_string(active) +
      ", now() + toIntervalMinute(" + std::to_string(minutes) + ")");
}

std::string sql_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

std::vector<OJson> audit_rows(const std::string& where) {
  std::string body = testbed::clickhouse_query(
      "SELECT session_id, event_id, kind, rule, severity, tool, text, host, os_user FROM datalake.ai_audit WHERE " +
      where + " ORDER BY ts FORMAT JSONEachRow");
  std::vector<OJson> rows;
  size_t start = 0;
  while (start < body.size()) {
    size_t nl = body.find('\n', start);
    std::string line = body.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (!line.empty()) rows.push_back(OJson::parse(line));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return rows;
}

drovix::host::HttpRequest request(const std::string& method, const std::string& path, const std::string& body,
                                  const std::string& peer, bool with_token) {
  drovix::host::HttpRequest req;
  req.method = method;
  req.path = path;
  req.body = body;
  req.peer = peer;
  if (with_token) req.headers.emplace_back("Authorization", std::string("Bearer ") + kToken);
  return req;
}

void bridge_clickhouse_into_netns() { testbed::bridge_port_into_netns(g_home.clickhouse_port); }

}  // namespace gateway_test
