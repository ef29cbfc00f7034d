#pragma once
// The host daemon's one configuration record, loaded once on first use.
#include <cstdint>
#include <optional>
#include <string>

#include "common/json.hpp"

namespace drovix::host {

struct ClickHouseSettings {
  std::string url = "http://127.0.0.1:8123/";  // always ends in exactly one "/"
  std::string user;
  std::string password;
  std::string desk_password;
  std::string ca_file;
};

struct OriginSettings {
  bool enabled = false;
  std::string tenant_id = "t_demo";
  std::string host;
};

struct HostConfig {
  std::string home;
  std::string certs;
  std::string hostname;
  std::string hypervisor;
  std::string agent_bin;
  std::string reader_bin;
  std::string sharepoint_cert;
  std::string sharepoint_key;
  ClickHouseSettings clickhouse;
  OriginSettings origin;
  uint16_t console_port = 443;
  std::string entra_tenant;
  std::string entra_client;
  std::string sharepoint_site;
  // Deployment hosts of the Microsoft identity platform and Graph; tests
  // point them at local peers.
  std::string login_host = "login.microsoftonline.com";
  std::string graph_host = "graph.microsoft.com";
};

// The process-wide record; the first call loads it exactly once.
const HostConfig& host_config();
HostConfig load_host_config();

// The base folder: DROVIX_HOME without its trailing "/" when that is set,
// valid UTF-8 and not empty; otherwise the folder holding the program (its
// canonical path), or that folder's parent when it is named "bin";
// "/opt/drovix" when the program's path is unknown.
std::string home_dir_from(const std::optional<std::string>& drovix_home,
                          const std::optional<std::string>& program_path);
// The hypervisor when host.json names none: home's "bin/tarvo" when it
// exists, else the first "tarvo" file on the PATH value (nothing when
// unset), else home's "/.local/bin/tarvo" whether or not it exists.
std::string find_hypervisor(const std::string& home, const std::optional<std::string>& path_env);

// Reads a JSON object file; nothing when unreadable (silently) or not an
// object (after the "unreadable, using defaults" notice).
std::optional<OJson> read_config_json(const std::string& path);

std::string vmstate_dir();
std::string relay_record_path(uint16_t port);
std::string skills_path();

// console_port as host.json gives it: 443 unless a valid non-zero port.
uint16_t parse_console_port(const OJson* value);

}  // namespace drovix::host
