#pragma once
// One host home for the gateway suite (the host configuration is loaded
// once per process): the gateway token, certificates for "drovix.test", the
// real ClickHouse test server with the desk identities, and the session
// registry that tells the gateway who is calling.
#include <cstdint>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "host/src/http/message.hpp"

namespace gateway_test {

inline constexpr const char* kHostName = "drovix.test";
inline constexpr const char* kToken = "0123456789abcdef0123456789abcdef0123456789abcdef";
inline constexpr const char* kDeskPassword = "desk-secret";

struct Home {
  std::string dir;    // DROVIX_HOME
  std::string certs;  // <dir>/fleetcerts
  int clickhouse_port = 0;
};
const Home& home();

// Empties vmstate, the archives, snapshot.pass, policy.json and the grants
// table; the token file holds kToken again.
void reset_state();

void write_file(const std::string& path, const std::string& text);
// Writes vmstate/sessions.json.
void write_sessions(const drovix::OJson& table);
// A running session record with the data-lake connection and a desk.
drovix::OJson lake_session(const std::string& desk, const std::string& started = "2025-03-04 09:15:02");

// A live grant of the scope for the given minutes (negative: expired).
void add_grant(const std::string& scope, int minutes, int active = 1);

// datalake.ai_audit rows (JSON objects) matching the SQL condition, oldest
// first.
std::vector<drovix::OJson> audit_rows(const std::string& where);
// The SQL text of a string literal.
std::string sql_quote(const std::string& text);

// A request as the gateway sees it from an agent VM.
drovix::host::HttpRequest request(const std::string& method, const std::string& path, const std::string& body = "",
                                  const std::string& peer = "10.0.9.11", bool with_token = true);

// Inside run_in_netns: the ClickHouse server of the parent namespace made
// reachable at the same loopback port.
void bridge_clickhouse_into_netns();

}  // namespace gateway_test
