#include "relay_home.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "host/src/util/clickhouse.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/clickhouse.hpp"
#include "tests/testbed/testbed.hpp"

namespace fs = std::filesystem;
using drovix::OJson;

namespace relay_test {
namespace {

Home g_home;

class SuiteHome : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/drovix-relay-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    g_home.dir = tmpl;
    g_home.certs = g_home.dir + "/fleetcerts";
    auto pki = testbed::make_test_pki("drovix.test", {"127.0.0.1", "10.0.9.1"});
    testbed::write_test_certs(pki, g_home.certs);
    g_home.ca_pem = pki.ca_pem;
    const auto& ch = testbed::clickhouse_server();
    ASSERT_TRUE(ch.ok);
    g_home.clickhouse_port = ch.http_port;
    g_home.graph_port = testbed::free_port();
    OJson host = {{"hostname", "drovix.test"},
                  {"clickhouse", {{"url", ch.url}}},
                  {"origin", {{"enabled", true}, {"tenant_id", "t_relay"}, {"host", "origin.test"}}},
                  {"graph_host", "127.0.0.1:" + std::to_string(g_home.graph_port)}};
    testbed::write_text(g_home.certs + "/host.json", host.dump());
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

std::unique_ptr<peers::ModelPeer> start_peer() {
  auto peer = peers::ModelPeer::start("127.0.0.1:0", g_home.certs + "/fullchain.pem", g_home.certs + "/privkey.pem");
  EXPECT_TRUE(peer.ok()) << (peer ? "" : peer.message());
  return peer ? std::move(*peer) : nullptr;
}

peers::ModelPeer& graph_peer() {
  static peers::ModelPeer* peer = [] {
    auto p = peers::ModelPeer::start("127.0.0.1:" + std::to_string(g_home.graph_port),
                                     g_home.certs + "/fullchain.pem", g_home.certs + "/privkey.pem");
    if (!p) {
      ADD_FAILURE() << "Graph peer: " << p.message();
      std::abort();
    }
    return std::move(*p).release();
  }();
  return *peer;
}

void write_record(uint16_t port, const OJson& record) {
  std::string dir = g_home.dir + "/vmstate/" + std::to_string(port);
  fs::create_directories(dir);
  testbed::write_text(dir + "/relay.json", record.dump());
}

void write_cert_file(const std::string& name, const std::string& text) {
  testbed::write_text(g_home.certs + "/" + name, text);
}

void remove_cert_file(const std::string& name) {
  std::error_code ec;
  fs::remove(g_home.certs + "/" + name, ec);
}

std::vector<OJson> refusal_rows(const std::string& marker) {
  std::string body = testbed::clickhouse_query(
      "SELECT session_id, kind, rule, severity, tool, text, host, os_user FROM datalake.ai_audit "
      "WHERE rule = 'relay_refused' AND position(text, '" + marker + "') > 0 FORMAT JSONEachRow");
  return drovix::host::parse_json_rows(body);
}

drovix::Status MemoryConn::write_all(std::string_view data) {
  if (out.size() + data.size() > fail_after) return drovix::Error(drovix::ErrorKind::Io, "write: broken pipe");
  out.append(data);
  return drovix::ok_status();
}

drovix::Status MemoryConn::finish() {
  finished = true;
  return drovix::ok_status();
}

AgentReply parse_reply(const std::string& raw) {
  AgentReply r;
  size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return r;
  std::string head = raw.substr(0, end + 2);
  r.body = raw.substr(end + 4);
  size_t eol = head.find("\r\n");
  std::string line = head.substr(0, eol);
  size_t sp = line.find(' ');
  size_t sp2 = line.find(' ', sp + 1);
  r.status = std::atoi(line.substr(sp + 1, sp2 - sp - 1).c_str());
  r.reason = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
  size_t at = eol + 2;
  while (at < head.size()) {
    size_t next = head.find("\r\n", at);
    std::string h = head.substr(at, next - at);
    size_t colon = h.find(": ");
    r.headers.emplace_back(h.substr(0, colon), h.substr(colon + 2));
    at = next + 2;
  }
  return r;
}

void bridge_clickhouse_into_netns() { testbed::bridge_port_into_netns(g_home.clickhouse_port); }

}  // namespace relay_test
