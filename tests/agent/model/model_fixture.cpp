#include "tests/agent/model/model_fixture.hpp"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/fs.hpp"
#include "common/tls.hpp"

namespace modeltest {

const TestCa& test_ca() {
  static const TestCa ca = [] {
    TestCa c;
    static testbed::TempDir dir;  // lives until the process ends
    c.dir = dir.path();
    c.ca_pem = dir / "ca.pem";
    c.cert_pem = dir / "server.pem";
    c.key_pem = dir / "server.key";
    std::string d = c.dir;
    std::string ext = d + "/san.ext";
    testbed::write_text(ext, std::string("subjectAltName=DNS:") + kAnthropicHost + ",DNS:" + kBedrockHost +
                                 ",DNS:" + kPrivateHost + ",DNS:" + kGraphHost +
                                 ",IP:127.0.0.1,IP:10.0.9.1\nbasicConstraints=CA:FALSE\n"
                                 "keyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n");
    std::string cmd =
        "set -e; cd " + d +
        "; openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem"
        " -days 2 -subj '/CN=Model Test CA' -addext basicConstraints=critical,CA:TRUE"
        " -addext keyUsage=critical,keyCertSign,cRLSign >/dev/null 2>&1"
        "; openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout server.key -out server.csr"
        " -subj '/CN=model peer' >/dev/null 2>&1"
        "; openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
        " -extfile san.ext -out server.pem >/dev/null 2>&1";
    if (testbed::sh(cmd) != 0) std::abort();
    return c;
  }();
  return ca;
}

std::unique_ptr<peers::ModelPeer> start_peer(const std::string& addr) {
  const TestCa& ca = test_ca();
  auto peer = peers::ModelPeer::start(addr, ca.cert_pem, ca.key_pem);
  EXPECT_TRUE(peer.ok()) << (peer.ok() ? "" : peer.message());
  if (!peer.ok()) return nullptr;
  return std::move(*peer);
}

drovix::agent::ServiceConnector peer_connector(int port) {
  auto pem = drovix::read_file(test_ca().ca_pem);
  drovix::TlsContext trust = drovix::tls_client_context(pem ? *pem : "");
  return [port, trust](const std::string& ip, const std::string& host) {
    return drovix::agent::connect_service(ip, port, host, trust, drovix::agent::SocketLimits{5000, 20000});
  };
}

void with_certs(const std::string& folder, const std::function<void()>& body) {
  testbed::run_in_netns([&] {
    if (::mkdir("/certs", 0755) != 0 && errno != EEXIST) FAIL() << "mkdir /certs: " << std::strerror(errno);
    ASSERT_EQ(::mount(folder.c_str(), "/certs", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    body();
  });
}

drovix::agent::KeyringEntry entry(const std::string& host, const std::string& path, const std::string& relay,
                                  const std::string& header, const std::string& prefix, const std::string& secret) {
  drovix::agent::KeyringEntry e;
  e.host = host;
  e.ip = "127.0.0.1";
  e.path = path;
  e.relay = relay;
  e.header = header;
  e.prefix = prefix;
  e.secret = secret;
  return e;
}

}  // namespace modeltest
