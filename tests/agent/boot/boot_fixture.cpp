#include "tests/agent/boot/boot_fixture.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "agent/src/main/trust.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

namespace boottest {

void write_certs(const std::string& folder) { testbed::write_test_certs(testbed::shared_test_pki(), folder); }

void with_certs(const std::string& folder, const std::function<void()>& body) {
  testbed::run_in_netns([&] {
    if (::mkdir("/certs", 0755) != 0 && errno != EEXIST) FAIL() << "mkdir /certs: " << std::strerror(errno);
    ASSERT_EQ(::mount(folder.c_str(), "/certs", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    // The trust anchors are read once, with a line of their own; read them
    // now so that the lines a test looks at are the agent's own.
    testing::internal::CaptureStdout();
    (void)drovix::agent::ca_roots();
    (void)testing::internal::GetCapturedStdout();
    body();
  });
}

std::unique_ptr<peers::ModelPeer> start_gateway(const std::string& certs_folder) {
  auto peer = peers::ModelPeer::start("127.0.0.1:443", certs_folder + "/fullchain.pem", certs_folder + "/privkey.pem");
  EXPECT_TRUE(peer.ok()) << (peer.ok() ? "" : peer.message());
  if (!peer.ok()) return nullptr;
  return std::move(*peer);
}

std::shared_ptr<drovix::agent::Keyring> gateway_keyring() {
  auto kr = std::make_shared<drovix::agent::Keyring>();
  for (const char* id : {"telemetry", "statesink"}) {
    drovix::agent::KeyringEntry e;
    e.host = "localhost";
    e.ip = "127.0.0.1";
    e.header = "authorization";
    e.prefix = "Bearer ";
    e.path = "/";
    e.secret = kGatewayToken;
    drovix::agent::keyring_insert(*kr, id, e);
  }
  return kr;
}

std::string gateway_reply(int status, const std::string& json_body) {
  return peers::http_response(status, "application/json", json_body);
}

}  // namespace boottest
