#pragma once
// One host home for the SharePoint suites (the host configuration is loaded
// once per process): the Entra tenant, client and site set, the login and
// Graph hosts pointed at one GraphPeer on loopback, its CA in ca.pem, and
// the application's certificate and key at their default paths.
#include <string>

#include "tests/testbed/certs.hpp"
#include "tools/peers/graph_peer.hpp"

namespace sp_test {

inline constexpr const char* kTenant = "contoso-tenant";
inline constexpr const char* kClient = "6f1c2d3e-app";
inline constexpr const char* kSite = "contoso.sharepoint.com,1111,2222";
inline constexpr const char* kDrive = "b!drive-0001";

struct Home {
  std::string dir;
  std::string certs;
  std::string cert_path;   // <certs>/sharepoint-app.crt
  std::string key_path;    // <certs>/sharepoint-app.key
  std::string vault_path;  // <certs>/vault.json
  std::string peer_host;   // "127.0.0.1:<port>"
  testbed::TestPki pki;    // the peer's TLS identity; its leaf is also the app's certificate
};
const Home& home();
peers::GraphPeer& peer();

// The app's certificate and key back in place, vault.json gone, the peer
// and the SharePoint state as at start-up, the site "Finance" with its
// library "Documents".
void reset();

// mode bits of a file
unsigned file_mode(const std::string& path);

}  // namespace sp_test
