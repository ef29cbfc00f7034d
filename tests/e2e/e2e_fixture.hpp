#pragma once
// The whole system on one machine: a host home for the test process, the
// real drovix-host program run inside a test's network namespace with the
// systemd and hypervisor stand-ins, the real agent image, and the real
// ClickHouse test server reachable from inside the namespace.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "host/src/http/outbound.hpp"

namespace e2e {

inline constexpr const char* kHostName = "drovix.test";
inline constexpr const char* kConsolePassword = "e2e-console-pass";
// The origin sink's tenant and host as host.json sets them.
inline constexpr const char* kOriginTenant = "t_e2e";
inline constexpr const char* kOriginHost = "drovix-e2e";

struct Home {
  std::string dir;     // DROVIX_HOME
  std::string certs;   // <dir>/fleetcerts
  std::string ca_pem;  // trust anchor of the host's certificate
};
const Home& home();

// Empties vmstate, the archives and the stand-ins' unit state.
void reset_state();

// Inside run_in_netns: makes the ClickHouse server of the parent namespace
// reachable at the same loopback port.
void bridge_clickhouse_into_netns();

// The drovix-host program, started inside the current namespace with its
// output in <home>/host.log; stopped (and every VM unit with it) when the
// object goes.
class HostProcess {
 public:
  HostProcess();
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  // Waits until the console answers on 127.0.0.1:443.
  bool wait_ready(std::chrono::seconds limit);
  std::string log() const;

 private:
  int pid_ = -1;
};

struct Reply {
  int status = 0;
  std::string set_cookie;
  std::string body;
  drovix::OJson json() const;
};

// HTTPS to 127.0.0.1:{port}, trusting the host's CA.
Reply https(const std::string& method, int port, const std::string& path, const std::string& body = "",
            const std::string& cookie = "", std::chrono::seconds timeout = std::chrono::seconds(60));

// Logs in to the console; the "fleet_sess=..." cookie pair.
std::string console_login(const std::string& user);

// The archive envelope, written with OpenSSL directly: a 12-byte nonce,
// AES-256-GCM ciphertext and its 16-byte tag, keyed by the SHA-256 of the
// pass phrase's text trimmed of surrounding white space.
std::string seal_with_pass(const std::string& pass_text, const std::string& plain);
std::optional<std::string> open_with_pass(const std::string& pass_text, const std::string& blob);

// Rows of a query on the test ClickHouse server, one JSON object each
// (FORMAT JSONEachRow is appended). Runs in the test's own namespace.
std::vector<drovix::OJson> clickhouse_rows(const std::string& select);

// Polls until the predicate holds or the time runs out.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds limit);

}  // namespace e2e
