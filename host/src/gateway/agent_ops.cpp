#include "host/src/gateway/agent_ops.hpp"

#include <cstdio>
#include <filesystem>

#include "host/src/console/network.hpp"
#include "host/src/console/registry.hpp"
#include "host/src/gateway/lifecycle_calls.hpp"
#include "host/src/main/config.hpp"
#include "host/src/origin/console_signal.hpp"
#include "host/src/util/commands.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

constexpr size_t kSummaryChars = 4000;
constexpr size_t kDeliveredSummaryChars = 300;
constexpr size_t kDetailChars = 400;

const OJson* member(const OJson& object, const char* key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string text_of(const OJson& object, const char* key) { return json_to_text(member(object, key)); }

// The request's slot when it is an integer from 0 to 7.
std::optional<int> slot_of(const OJson& body) {
  std::optional<int64_t> slot = json_as_i64(member(body, "slot"));
  if (!slot || *slot < 0 || *slot > 7) return std::nullopt;
  return static_cast<int>(*slot);
}

OJson op_list(uint16_t port) {
  OJson agents = OJson::array();
  for (const OJson& child : list_children(port, std::nullopt, false)) agents.push_back(child_summary(child));
  return OJson{{"agents", agents}};
}

OJson op_spawn(uint16_t port, const OJson& body) {
  std::optional<OJson> workspace;
  if (const OJson* w = member(body, "workspace")) workspace = *w;
  const OJson* origin = member(body, "origin");
  bool by_user = origin && origin->is_string() && origin->get<std::string>() == "user";
  return start_subagent(port, text_of(body, "task"), text_of(body, "name"), workspace, by_user ? "user" : "model");
}

OJson op_reader_alive(uint16_t port, const OJson& body) {
  std::optional<int> slot = slot_of(body);
  if (!slot) return OJson{{"active", false}};
  bool owned = false;
  {
    ReaderSlotTable& table = reader_slot_table();
    std::lock_guard lock(table.mu);
    auto it = table.slots.find(*slot);
    owned = it != table.slots.end() && it->second.agent_port == port;
  }
  return OJson{{"active", owned && reader_unit_active(*slot)}};
}

std::string one_decimal(double secs) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", secs);
  return buf;
}

OJson op_reader_done(uint16_t port, const OJson& body) {
  std::optional<int> slot = slot_of(body);
  if (!slot) return OJson{{"error", "bad slot"}};
  std::optional<ReaderSlot> released;
  double secs = 0;
  {
    ReaderSlotTable& table = reader_slot_table();
    std::lock_guard lock(table.mu);
    auto it = table.slots.find(*slot);
    if (it != table.slots.end() && it->second.agent_port == port) {
      released = it->second;
      table.slots.erase(it);
      rebuild_reader_firewall(table.slots);
      secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - released->granted).count();
    }
  }
  if (!released) return OJson{{"error", "not your reader"}};

  std::string unit = "drovix-reader-" + std::to_string(*slot);
  if (reader_unit_active(*slot)) systemctl({"stop", unit});

  std::string status = text_of(body, "status");
  std::string detail = take_chars(text_of(body, "detail"), kDetailChars);
  OJson record = session_by_port(read_json_object(sessions_json_path()), port);
  std::string user = json_get_str(record, "by");
  if (user.empty()) user = "agent";

  std::string p = std::to_string(port);
  const std::string& doc = released->document;
  std::string rule = "document_read", severity = "low", text;
  if (status == "ok") {
    text = "Document reader read '" + doc + "' for VM :" + p + " in " + one_decimal(secs) + "s: " + detail;
  } else if (status == "crashed") {
    rule = "reader_crashed";
    severity = "medium";
    text = "The document reader crashed on '" + doc + "' (VM :" + p +
           "'s file); the reader VM ended, the agent did not. " + detail;
  } else {
    text = "Document reader couldn't read '" + doc + "' for VM :" + p + ": " + detail;
  }
  emit_console_signal("vm-" + p, rule, severity, text, "fleet-vm-" + p, user);
  return OJson{{"ok", true}};
}

OJson op_finished(uint16_t port, const OJson& body) {
  OJson table = OJson::object();
  if (auto t = read_json_file(sessions_json_path()); t && t->is_object()) table = std::move(*t);
  OJson record = session_by_port(table, port);
  if (!json_flag(record, "parent") || json_get_str(record, "status") != "running")
    return OJson{{"error", "not a running sub-agent"}};

  const OJson& parent = agent_parent(record);
  std::string dir = vmstate_dir() + "/results/" + json_to_text(&parent);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  std::string name = sanitize_name(json_get_str(record, "name"));
  if (name.empty()) name = "session";

  std::string summary = take_chars(text_of(body, "summary"), kSummaryChars);
  OJson file = OJson::object();
  file["name"] = json_get_str(record, "name");
  file["port"] = port;
  file["parent"] = parent;
  const OJson* parent_started = member(record, "parent_started");
  file["parent_started"] = parent_started ? *parent_started : OJson(nullptr);
  file["task"] = json_get_str(record, "task");
  file["status"] = text_of(body, "status");
  file["summary"] = summary;
  file["files"] = truthy_value(member(body, "files")).value_or(OJson::array());
  file["at"] = local_time_text();
  (void)write_private_json(dir + "/" + name + ".json", file);

  return deliver_subagent_result(port, text_of(body, "status"), take_chars(summary, kDeliveredSummaryChars));
}

}  // namespace

const OJson& agent_parent(const OJson& record) { return record.at("parent"); }

std::optional<OJson> truthy_value(const OJson* value) {
  if (value == nullptr || !json_truthy(*value)) return std::nullopt;
  return *value;
}

std::pair<uint16_t, OJson> handle_agents_call(const std::string& op, const std::string& caller_ip,
                                              const OJson& body) {
  uint16_t port = vm_port_from_ip(caller_ip);
  if (port == 0) return {403, OJson{{"error", "unknown agent"}}};
  if (op == "list") return {200, op_list(port)};
  if (op == "spawn") return {200, op_spawn(port, body)};
  if (op == "reader") return {200, start_reader(port, body)};
  if (op == "reader_alive") return {200, op_reader_alive(port, body)};
  if (op == "reader_done") return {200, op_reader_done(port, body)};
  if (op == "finished") return {200, op_finished(port, body)};
  return {404, OJson{{"error", "not found"}}};
}

}  // namespace drovix::host
