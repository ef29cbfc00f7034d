#include "host/src/console/registry.hpp"

#include <algorithm>
#include <ctime>

#include "host/src/console/vm_unit.hpp"
#include "host/src/main/config.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

std::string started_of(const OJson& record) { return json_get_str(record, "started"); }

OJson member_or_null(const OJson& record, const char* key) {
  if (!record.is_object()) return OJson();
  auto it = record.find(key);
  return it == record.end() ? OJson() : *it;
}

std::string string_member(const OJson& record, const char* key) { return json_get_str(record, key); }

// Equality of a member between two records, where both absent is equal.
bool same_member(const OJson& a, const OJson& b, const char* key) {
  bool ha = a.is_object() && a.contains(key);
  bool hb = b.is_object() && b.contains(key);
  if (ha != hb) return false;
  return !ha || a[key] == b[key];
}

uint16_t port_of(const OJson& record) {
  auto it = record.is_object() ? record.find("port") : record.end();
  auto v = json_as_i64(record.is_object() && it != record.end() ? &*it : nullptr);
  if (!v || *v < 0 || *v > 65535) return 0;
  return static_cast<uint16_t>(*v);
}

}  // namespace

std::string sessions_json_path() { return host_config().home + "/vmstate/sessions.json"; }
std::string children_json_path() { return host_config().home + "/vmstate/children.json"; }
std::string taint_dir_path() { return host_config().home + "/vmstate/taint"; }

std::string taint_file_path(uint16_t port, const std::string& started) {
  std::string s = started;
  std::replace(s.begin(), s.end(), ' ', 'T');
  return taint_dir_path() + "/" + std::to_string(port) + "@" + s + ".txt";
}

std::mutex& sessions_mutex() {
  static std::mutex m;
  return m;
}

OJson read_sessions() { return read_json_object(sessions_json_path()); }

void write_sessions(const OJson& table) { (void)write_private_json(sessions_json_path(), table); }

OJson session_by_port(const OJson& table, uint16_t port) {
  if (!table.is_object()) return OJson::object();
  auto it = table.find(std::to_string(port));
  if (it != table.end() && it->is_object()) return *it;
  return OJson::object();
}

std::optional<std::pair<uint16_t, uint16_t>> free_vm_slot() { return free_vm_slot(running_vm_ports()); }

std::set<uint16_t> running_vm_ports() {
  std::set<uint16_t> running;
  for (uint16_t port = kFirstSlotPort; port <= kLastSlotPort; ++port)
    if (agent_unit_active(port)) running.insert(port);
  return running;
}

std::optional<std::pair<uint16_t, uint16_t>> free_vm_slot(const std::set<uint16_t>& running) {
  for (uint16_t port = kFirstSlotPort; port <= kLastSlotPort; ++port) {
    if (!running.count(port)) return std::make_pair(port, static_cast<uint16_t>(port - 8000));
  }
  return std::nullopt;
}

void update_session(uint16_t port, const std::string& status,
                    const std::vector<std::pair<std::string, OJson>>& fields) {
  std::lock_guard<std::mutex> lock(sessions_mutex());
  OJson table = read_sessions();
  auto it = table.find(std::to_string(port));
  if (it == table.end() || !it->is_object()) return;
  OJson& record = *it;
  for (const auto& [key, value] : fields) record[key] = value;
  record["status"] = status;
  write_sessions(table);
  if (json_flag(record, "parent") && status != "running") record_child_history(record);
}

void record_child_history(const OJson& record) {
  OJson history = read_json_object(children_json_path());
  auto parent = record.find("parent");
  std::string key = json_to_text(parent != record.end() ? &*parent : nullptr) + "@" +
                    string_member(record, "parent_started");
  OJson list = history.contains(key) && history[key].is_array() ? history[key] : OJson::array();
  OJson kept = OJson::array();
  for (auto& entry : list) {
    if (same_member(entry, record, "name")) continue;
    kept.push_back(std::move(entry));
  }
  kept.push_back(record);
  history[key] = std::move(kept);
  (void)write_private_json(children_json_path(), history);
}

OJson child_summary(const OJson& record) {
  OJson s = OJson::object();
  s["name"] = string_member(record, "name");
  s["port"] = member_or_null(record, "port");
  s["status"] = string_member(record, "status");
  s["task"] = take_chars(string_member(record, "task"), 300);
  s["started"] = string_member(record, "started");
  s["ended"] = string_member(record, "ended");
  s["detail"] = string_member(record, "detail");
  return s;
}

bool cmp_by_started(const OJson& a, const OJson& b) { return started_of(a) < started_of(b); }

std::vector<OJson> list_children(uint16_t port, const std::optional<OJson>& given, bool running_only) {
  const OJson table = given ? *given : read_sessions();
  const OJson parent = session_by_port(table, port);

  std::vector<OJson> live;
  if (table.is_object()) {
    for (const auto& [key, rec] : table.items()) {
      if (!rec.is_object()) continue;
      auto p = rec.find("parent");
      if (p == rec.end()) continue;
      auto pv = json_as_i64(&*p);
      if (!pv || *pv != static_cast<int64_t>(port)) continue;
      // The parent's "started" tells this parent's children from those of an
      // earlier session in the same slot.
      bool has_ps = rec.contains("parent_started");
      bool has_started = parent.contains("started");
      if (has_ps != has_started) continue;
      if (has_ps && rec["parent_started"] != parent["started"]) continue;
      live.push_back(rec);
    }
  }

  if (running_only) {
    std::vector<OJson> running;
    for (auto& rec : live) {
      if (string_member(rec, "status") == "running" && rec["status"].is_string() && agent_unit_active(port_of(rec)))
        running.push_back(std::move(rec));
    }
    return running;
  }

  std::vector<OJson> live_names;
  for (const auto& rec : live)
    if (rec.contains("name")) live_names.push_back(rec["name"]);

  std::vector<OJson> out;
  OJson history = read_json_object(children_json_path());
  std::string key = std::to_string(port) + "@" + started_of(parent);
  if (history.contains(key) && history[key].is_array()) {
    for (const auto& entry : history[key]) {
      if (!entry.is_object()) continue;
      if (entry.contains("name") &&
          std::find(live_names.begin(), live_names.end(), entry["name"]) != live_names.end())
        continue;
      out.push_back(entry);
    }
  }
  for (auto& rec : live) out.push_back(std::move(rec));
  std::stable_sort(out.begin(), out.end(), cmp_by_started);
  return out;
}

std::string local_time_text() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace drovix::host
