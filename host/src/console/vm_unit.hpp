#pragma once
// One agent VM: the hypervisor booting the agent image, run as a transient
// systemd service under its own system user and a strict sandbox.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "host/src/main/config.hpp"

namespace drovix::host {

// What provisioning hands the VM start.
struct AgentVmSpec {
  uint16_t port = 0;         // slot port P, 8001..8008
  uint16_t n = 0;            // VM number N = P - 8000
  std::string certs_dir;     // mapped into the guest as /certs
  std::string log_path;      // the unit's standard output and error
  uint64_t memory_mib = 0;   // guest memory: workspace size + 256
  std::string model;         // CLAUDE_MODEL
  std::string od_drive;      // OD_DRIVE: "/v1.0/drives/<id>" or empty
};

std::string agent_unit_name(uint16_t port);  // "drovix-vm-<port>"
std::string agent_unit_user(uint16_t n);     // "drovix-vm<n>"

// Rebuilds the firewall with the slot counted as running, makes sure of the
// unit user, hands the certs folder to that user, sets up the tap and starts
// the unit. Whether the guest came up is learnt from its log.
Status start_agent_vm(const AgentVmSpec& spec);

// The whole "systemd-run" argument vector for one agent VM.
std::vector<std::string> agent_vm_argv(const AgentVmSpec& spec, const HostConfig& cfg);

std::vector<std::string> unit_sandbox_props(const HostConfig& cfg, const std::string& user, const std::string& paths,
                                            uint64_t memory_mib);

// The user's uid, creating the system user when it is missing; fails with
// "could not create user <name>".
Result<uint32_t> ensure_unit_user(const std::string& name);
// The uid of a user in /etc/passwd.
std::optional<uint32_t> user_exists(const std::string& name);
// The same rule over a passwd text: the first line naming the user decides.
std::optional<uint32_t> user_in_passwd(const std::string& passwd_text, const std::string& name);

// Makes sure tap "ctap<n>" exists with the given owner (kept when it has it,
// replaced when another uid owns it), is a port of cbr0 and is up.
void ensure_agent_tap(uint16_t n, uint32_t uid);
// The owner a tap's sysfs "owner" file holds, read as a signed decimal.
std::optional<int64_t> parse_tap_owner(const std::string& text);

// Whether "systemctl is-active drovix-vm-<port>" prints exactly "active".
bool agent_unit_active(uint16_t port);

}  // namespace drovix::host
