#pragma once
// The session registry "vmstate/sessions.json" (one SessionRecord per slot
// port, keyed by the port as decimal text, in insertion order) and the child
// history "vmstate/children.json" (copies of finished sub-agents' records
// under their parent's "<port>@<started>" key).
//
// Every read-change-write of sessions.json, and every write of
// children.json, happens under sessions_mutex(). Readers take no lock: both
// files are replaced whole by rename, so a reader sees the old or the new
// table, never half of one.
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/json.hpp"

namespace drovix::host {

inline constexpr uint16_t kFirstSlotPort = 8001;
inline constexpr uint16_t kLastSlotPort = 8008;

std::string sessions_json_path();  // <home>/vmstate/sessions.json
std::string children_json_path();  // <home>/vmstate/children.json
std::string taint_dir_path();      // <home>/vmstate/taint
// <taint dir>/<port>@<started with every blank as "T">.txt
std::string taint_file_path(uint16_t port, const std::string& started);

std::mutex& sessions_mutex();

// The whole table; anything but a readable JSON object gives {}.
OJson read_sessions();
// Writes the whole table (mode 0600); a failure is ignored.
void write_sessions(const OJson& table);
// A copy of the port's record when it is an object, else {}.
OJson session_by_port(const OJson& table, uint16_t port);

// The first slot port (8001..8008) whose unit is not active, with its VM
// number (port - 8000); nothing when all eight run.
std::optional<std::pair<uint16_t, uint16_t>> free_vm_slot();
// The slot ports whose VM units are active now.
std::set<uint16_t> running_vm_ports();
// The first slot not among the running ones: (port, VM number).
std::optional<std::pair<uint16_t, uint16_t>> free_vm_slot(const std::set<uint16_t>& running);

// Sets the fields in order, then "status", on the port's record (existing
// keys keep their place). A finished sub-agent is also filed in the child
// history. A port without a record changes nothing.
void update_session(uint16_t port, const std::string& status,
                    const std::vector<std::pair<std::string, OJson>>& fields);
// Files a copy of a child's record under its parent's key, replacing an
// earlier copy of the same name, latest last. Caller holds sessions_mutex().
void record_child_history(const OJson& record);

// {"name", "port", "status", "task" (first 300 characters), "started",
// "ended", "detail"}.
OJson child_summary(const OJson& record);
// The parent's children: with running_only, the live records whose status
// is "running" and whose unit is active, in table order; otherwise the
// history entries not shadowed by a live child of the same name, then every
// live child, stably sorted by "started".
std::vector<OJson> list_children(uint16_t port, const std::optional<OJson>& table, bool running_only);
bool cmp_by_started(const OJson& a, const OJson& b);

// Local time as "%Y-%m-%d %H:%M:%S".
std::string local_time_text();

}  // namespace drovix::host
