#include "fixture.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "common/json.hpp"
#include "host/src/sp/sharepoint.hpp"
#include "tests/testbed/testbed.hpp"

namespace fs = std::filesystem;

namespace sp_test {
namespace {

Home g_home;
std::unique_ptr<peers::GraphPeer> g_peer;

class SuiteHome : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/drovix-sp-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    g_home.dir = tmpl;
    g_home.certs = g_home.dir + "/fleetcerts";
    g_home.cert_path = g_home.certs + "/sharepoint-app.crt";
    g_home.key_path = g_home.certs + "/sharepoint-app.key";
    g_home.vault_path = g_home.certs + "/vault.json";
    fs::create_directories(g_home.certs);

    g_home.pki = testbed::make_test_pki("localhost", {"127.0.0.1"});
    testbed::write_test_certs(g_home.pki, g_home.dir + "/peer");
    auto started = peers::GraphPeer::start("127.0.0.1:0", g_home.dir + "/peer/fullchain.pem",
                                           g_home.dir + "/peer/privkey.pem");
    ASSERT_TRUE(started.ok()) << started.message();
    g_peer = std::move(*started);
    g_home.peer_host = "127.0.0.1:" + std::to_string(g_peer->port());

    testbed::write_text(g_home.certs + "/ca.pem", g_home.pki.ca_pem);
    drovix::OJson host = {{"hostname", "sp.test"},
                          {"entra_tenant", kTenant},
                          {"entra_client", kClient},
                          {"sharepoint_site", kSite},
                          {"login_host", g_home.peer_host},
                          {"graph_host", g_home.peer_host}};
    testbed::write_text(g_home.certs + "/host.json", host.dump());
    ::setenv("DROVIX_HOME", g_home.dir.c_str(), 1);
  }

  void TearDown() override {
    g_peer.reset();
    std::error_code ec;
    fs::remove_all(g_home.dir, ec);
  }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new SuiteHome);

}  // namespace

const Home& home() { return g_home; }
peers::GraphPeer& peer() { return *g_peer; }

void reset() {
  testbed::write_text(g_home.cert_path, g_home.pki.cert_pem);
  testbed::write_text(g_home.key_path, g_home.pki.key_pem);
  std::error_code ec;
  fs::remove(g_home.vault_path, ec);
  g_peer->reset();
  g_peer->set_app(kTenant, kClient, g_home.pki.cert_pem);
  g_peer->set_site(kSite, "Finance", kDrive, "Documents");
  g_peer->set_children(nlohmann::json::array());
  drovix::host::reset_sharepoint_state();
}

unsigned file_mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

}  // namespace sp_test
