#include "origin_home.hpp"

#include <stdlib.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "host/src/util/clickhouse.hpp"
#include "tests/testbed/clickhouse.hpp"
#include "tests/testbed/testbed.hpp"

namespace fs = std::filesystem;
using drovix::OJson;

namespace origin_test {
namespace {

Home g_home;

class SuiteHome : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/drovix-origin-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    g_home.dir = tmpl;
    fs::create_directories(g_home.dir + "/fleetcerts");
    const auto& ch = testbed::clickhouse_server();
    ASSERT_TRUE(ch.ok);
    OJson host = {{"hostname", "drovix.test"},
                  {"clickhouse", {{"url", ch.url}}},
                  {"origin", {{"enabled", true}, {"tenant_id", kTenant}, {"host", kOriginHost}}}};
    testbed::write_text(g_home.dir + "/fleetcerts/host.json", host.dump());
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

void write_registry(const OJson& sessions) {
  fs::create_directories(g_home.dir + "/vmstate");
  testbed::write_text(g_home.dir + "/vmstate/sessions.json", sessions.dump());
}

std::vector<OJson> rows_where(const std::string& table, const std::string& where) {
  std::string body = testbed::clickhouse_query("SELECT * FROM " + table + " WHERE " + where +
                                               " FORMAT JSONEachRow");
  return drovix::host::parse_json_rows(body);
}

std::vector<OJson> inserted_rows(const testbed::HttpPeer& peer, const std::string& table) {
  std::vector<OJson> rows;
  const std::string statement = "INSERT+INTO+origin." + table + "+FORMAT+JSONEachRow";
  for (const auto& r : peer.requests()) {
    if (r.target.find(statement) == std::string::npos) continue;
    for (auto& row : drovix::host::parse_json_rows(r.body)) rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace origin_test
