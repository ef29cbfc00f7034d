#pragma once
// One host home for the whole suite (the host configuration is loaded once
// per process): certificates for "drovix.test", the real ClickHouse test
// server, the systemd stand-ins on PATH and a scripted stand-in agent image.
#include <cstdint>
#include <string>
#include <vector>

#include "common/json.hpp"

namespace sessions_test {

inline constexpr const char* kHostName = "drovix.test";

struct Home {
  std::string dir;          // DROVIX_HOME
  std::string certs;        // <dir>/fleetcerts
  std::string standins;     // STANDIN_STATE_DIR
  std::string ca_pem;       // trust anchor of the host's certificate
  std::string cert_pem;     // the host's certificate for kHostName
  std::string key_pem;
  std::string other_ca_pem;    // a second CA, and a leaf for kHostName under it
  std::string other_cert_pem;
  std::string other_key_pem;
  int clickhouse_port = 0;
};
const Home& home();

// Empties vmstate, the archives, the console settings files and the
// stand-ins' unit state.
void reset_state();

void write_file(const std::string& path, const std::string& text);
void write_json(const std::string& path, const drovix::OJson& value);
drovix::OJson read_json(const std::string& path);

// Marks a slot's unit as the systemctl stand-in reports it ("active", ...).
void set_unit_state(uint16_t port, const std::string& state);

// datalake.ai_audit rows (as JSON objects) matching the SQL condition.
std::vector<drovix::OJson> audit_rows(const std::string& where);

// Inside run_in_netns: makes the ClickHouse server of the parent namespace
// reachable at the same loopback port, so audit rows written from inside
// reach the real server.
void bridge_clickhouse_into_netns();

}  // namespace sessions_test
