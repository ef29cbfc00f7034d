#pragma once
// What the agent operations ask of the session lifecycle for sub-agents
// and document readers. Sub-agent launches, result delivery and reader VMs
// are not built into this host yet: these calls answer as the lifecycle
// does while those features are off, and the reader-slot table stays
// empty, so no caller ever owns a reader.
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/json.hpp"

namespace drovix::host {

// One granted document reader.
struct ReaderSlot {
  uint16_t agent_port = 0;
  std::string agent_ip;  // "10.0.9.<n>"
  std::string document;  // first 200 characters of the request's name
  std::chrono::steady_clock::time_point granted;
};

// Reader slot number (0..7) to its grant, behind its mutex.
struct ReaderSlotTable {
  std::mutex mu;
  std::map<int, ReaderSlot> slots;
};
ReaderSlotTable& reader_slot_table();

OJson start_subagent(uint16_t port, const std::string& task, const std::string& name,
                     const std::optional<OJson>& workspace, const std::string& origin);
OJson start_reader(uint16_t port, const OJson& request);
OJson deliver_subagent_result(uint16_t child_port, const std::string& status, const std::string& summary);

// Whether the unit drovix-reader-<slot> reports "active".
bool reader_unit_active(int slot);
// Rebuilds the readers' firewall chain from the table; the caller holds
// the table's mutex.
void rebuild_reader_firewall(const std::map<int, ReaderSlot>& slots);

}  // namespace drovix::host
