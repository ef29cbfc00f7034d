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

namespace sessions_test {
namespace {

Home g_home;

class SuiteHome : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(testbed::is_root()) << "the session suites run as root";
    char tmpl[] = "/tmp/drovix-sessions-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    g_home.dir = tmpl;
    // The stand-in agent runs as a VM unit user and must reach its image.
    fs::permissions(g_home.dir, fs::perms(0755));
    g_home.certs = g_home.dir + "/fleetcerts";
    g_home.standins = g_home.dir + "/standins";
    fs::create_directories(g_home.certs);
    fs::create_directories(g_home.dir + "/bin");

    auto pki = testbed::make_test_pki(kHostName, {"127.0.0.1", "10.0.9.1"});
    testbed::write_test_certs(pki, g_home.certs);
    g_home.ca_pem = pki.ca_pem;
    g_home.cert_pem = pki.cert_pem;
    g_home.key_pem = pki.key_pem;
    auto other = testbed::make_test_pki(kHostName, {"127.0.0.1"});
    g_home.other_ca_pem = other.ca_pem;
    g_home.other_cert_pem = other.cert_pem;
    g_home.other_key_pem = other.key_pem;

    const auto& ch = testbed::clickhouse_server();
    ASSERT_TRUE(ch.ok);
    g_home.clickhouse_port = ch.http_port;

    std::string src = testbed::source_dir();
    OJson host = {{"hostname", kHostName},
                  {"tarvo", src + "/tools/standins/tarvo"},
                  {"agent_bin", g_home.dir + "/bin/agent-standin"},
                  {"clickhouse", {{"url", ch.url}}}};
    write_json(g_home.certs + "/host.json", host);
    std::string script =
#include "agent_standin.py.inc"
        ;
    for (size_t at; (at = script.find("@HOME@")) != std::string::npos;) script.replace(at, 6, g_home.dir);
    write_file(g_home.dir + "/bin/agent-standin", script);
    fs::permissions(g_home.dir + "/bin/agent-standin", fs::perms(0755));

    ::setenv("DROVIX_HOME", g_home.dir.c_str(), 1);
    ::setenv("STANDIN_STATE_DIR", g_home.standins.c_str(), 1);
    std::string path = src + "/tools/standins:" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    ::setenv("PATH", path.c_str(), 1);
    ::unsetenv("WORKSPACE_POOL_MB");
    ::unsetenv("WEBSEARCH_IP");
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

void write_json(const std::string& path, const OJson& value) { write_file(path, value.dump()); }

OJson read_json(const std::string& path) {
  auto v = OJson::parse(testbed::read_text(path), nullptr, false);
  return v;
}

void reset_state() {
  std::error_code ec;
  fs::remove_all(g_home.dir + "/vmstate", ec);
  fs::remove_all(g_home.dir + "/appliance-snapshots", ec);
  fs::remove_all(g_home.standins, ec);
  fs::remove(g_home.dir + "/skills.md", ec);
  for (const char* f : {"policy.json", "features.json", "llm.json", "vault.json", "brave.key", "snapshot.pass",
                        "fleet.pass"})
    fs::remove(g_home.certs + "/" + f, ec);
}

void set_unit_state(uint16_t port, const std::string& state) {
  write_file(g_home.standins + "/units/drovix-vm-" + std::to_string(port) + ".service/state", state + "\n");
}

std::vector<OJson> audit_rows(const std::string& where) {
  std::string body = testbed::clickhouse_query(
      "SELECT session_id, rule, severity, tool, text, host, os_user, kind, event_id FROM datalake.ai_audit WHERE " +
      where + " FORMAT JSONEachRow");
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

void bridge_clickhouse_into_netns() { testbed::bridge_port_into_netns(g_home.clickhouse_port); }

}  // namespace sessions_test
