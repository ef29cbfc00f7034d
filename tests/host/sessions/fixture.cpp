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

// Copies bytes one way until either side ends.
void pump(int from, int to) {
  char buf[65536];
  while (true) {
    ssize_t n = ::read(from, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t off = 0; off < n;) {
      ssize_t w = ::write(to, buf + off, static_cast<size_t>(n - off));
      if (w <= 0) return;
      off += w;
    }
  }
  ::shutdown(to, SHUT_WR);
}

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

void bridge_clickhouse_into_netns() {
  const int port = g_home.clickhouse_port;
  int parent_ns = ::open(("/proc/" + std::to_string(::getppid()) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(parent_ns, 0);
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 64), 0);
  // The relay thread moves into the parent's network namespace, so the
  // sockets it opens reach the server there; the listener stays here.
  std::thread([listener, parent_ns, addr] {
    if (::setns(parent_ns, CLONE_NEWNET) != 0) return;
    while (true) {
      int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(upstream, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(client);
        ::close(upstream);
        continue;
      }
      std::thread([client, upstream] {
        std::thread back([client, upstream] { pump(upstream, client); });
        pump(client, upstream);
        back.join();
        ::close(client);
        ::close(upstream);
      }).detach();
    }
  }).detach();
}

}  // namespace sessions_test
