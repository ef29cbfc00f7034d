#pragma once
// The host side of the agents' network: the bridge cbr0 with the gateway
// address, forwarding and source NAT, and the two firewall chains that keep
// every agent VM to the gateway, the web-search service and the outside
// addresses of its own service list.
#include <cstdint>
#include <string>
#include <vector>

#include "common/json.hpp"

namespace drovix::host {

// Builds the bridges, addresses, NAT and chains; called once at start-up
// before any listener starts. Command failures are never fatal.
void setup_host_network();
// Creates and hooks the two agent chains, then fills them.
void setup_agent_chains();

// Replaces the contents of both agent chains under the firewall lock. A VM
// counts as running when its unit is active, or when assume_running is set
// and port is its slot port (a VM that is being started).
void rebuild_agent_firewall(bool assume_running, uint16_t port);

// Forgets tracked connections from a VM address.
void flush_conntrack(const std::string& address);

// Slot port (8001..8008) of an agent VM address, 0 for every other address.
uint16_t vm_port_from_ip(const std::string& address);

// "iptables" with the arguments (15 s); true when it ran and exited 0.
bool run_iptables(const std::vector<std::string>& args);
// "iptables -t nat <op> <rule...> <extra...>" (15 s); true when it exited 0.
bool iptables_nat(const std::vector<std::string>& rule, const std::string& op,
                  const std::vector<std::string>& extra);

// Replaces the rules of filter-table chains in one step, so that no packet
// ever meets a chain half-built: each entry names a chain and its complete
// rule list (each rule the arguments after "-A <chain>"). Runs
// "iptables-restore --noflush"; when that is refused (a rule the host's
// iptables rejects, a missing program) the chains are flushed and filled
// rule by rule instead, so that only the rejected rules are missing.
struct ChainRules {
  std::string chain;
  std::vector<std::vector<std::string>> rules;
};
void replace_chains(const std::vector<ChainRules>& chains);

// The outside interface: the word after the first "dev" in the output of
// "ip route show default", "ext0" when there is none.
std::string outside_interface_from(const std::string& route_output);

// The outside addresses a VM may reach, from its creds.json value: every
// "ip" that is a complete dotted-decimal IPv4 address outside 10.0.9.x,
// without duplicates, in text order. Anything but an array gives none.
std::vector<std::string> creds_outside_addresses(const OJson& creds);

// The document readers' network is built by its own module; it registers
// its set-up here and start-up runs it before the agent chains, so that the
// agents' jump ends up ahead of the readers' in FORWARD.
void set_reader_network_setup(void (*setup)());

}  // namespace drovix::host
