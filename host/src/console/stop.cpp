#include "host/src/console/stop.hpp"

#include <cstdio>

#include "host/src/console/forwarder.hpp"
#include "host/src/console/network.hpp"
#include "host/src/console/post_to_vm.hpp"
#include "host/src/console/registry.hpp"
#include "host/src/console/replies.hpp"
#include "host/src/console/vm_unit.hpp"
#include "host/src/main/config.hpp"
#include "host/src/origin/console_signal.hpp"
#include "host/src/util/commands.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

OJson not_saved(const std::string& reason) { return OJson{{"saved", false}, {"reason", reason}}; }

bool slot_port(int64_t port) { return port >= kFirstSlotPort && port <= kLastSlotPort; }

uint16_t record_port(const OJson& record) {
  auto it = record.find("port");
  auto v = json_as_i64(it != record.end() ? &*it : nullptr);
  return v && *v >= 0 && *v <= 65535 ? static_cast<uint16_t>(*v) : 0;
}

}  // namespace

std::string stop_outcome_text(const OJson& outcome_in) {
  const OJson outcome = outcome_in.is_object() ? outcome_in : OJson::object();
  auto archive = outcome.find("archive");
  std::string archive_text = json_to_text(archive != outcome.end() ? &*archive : nullptr);
  std::string reason = json_get_str(outcome, "reason");
  if (json_flag(outcome, "saved")) return "archive '" + archive_text + "' saved";
  if (reason == "up to date") return "archive '" + archive_text + "' already up to date";
  if (reason == "ephemeral") return "ephemeral, nothing saved";
  return "nothing saved (" + reason + ")";
}

OJson stop_session(uint16_t port, const std::string& user, const std::string& reason) {
  if (!slot_port(port)) return not_saved("unknown port");
  const uint16_t n = static_cast<uint16_t>(port - 8000);
  const std::string p = std::to_string(port);
  const std::string unit = agent_unit_name(port);

  // 1. Let the agent save its archive while it still runs.
  OJson outcome;
  if (agent_unit_active(port)) {
    auto flushed = post_to_vm(port, n, "/api/flush", "");
    outcome = flushed ? std::move(*flushed) : not_saved("flush failed: " + take_chars(flushed.message(), 80));
  } else {
    outcome = not_saved("not running");
  }

  // 2. Take down what the launch set up for the slot.
  (void)run_command({"systemctl", "stop", unit}, 60);
  (void)run_command({"systemctl", "reset-failed", unit}, 10);
  stop_vm_forwarder(port);
  std::remove(relay_record_path(port).c_str());
  flush_conntrack("10.0.9." + std::to_string(n + 10));
  rebuild_agent_firewall(false, 0);

  // 3. Mark the record.
  {
    std::lock_guard<std::mutex> lock(sessions_mutex());
    OJson table = read_sessions();
    auto it = table.find(p);
    if (it != table.end() && it->is_object()) {
      OJson& record = *it;
      std::remove(taint_file_path(port, json_get_str(record, "started")).c_str());
      record["ended"] = local_time_text();
      const bool child = json_flag(record, "parent");
      if (child && json_get_str(record, "status") == "running") {
        record["status"] = "stopped";
        record["detail"] = reason.empty() ? "stopped by " + user : reason;
      }
      write_sessions(table);
      if (child) record_child_history(record);
    }
  }

  std::string text = "VM :" + p + " stopped by " + user + (reason.empty() ? "" : " because " + reason) +
                     " \u2014 " + stop_outcome_text(outcome);
  emit_console_signal("vm-" + p, "session_stopped", "low", text, "fleet-vm-" + p, user);
  return outcome;
}

HttpResponse stop_request(const OJson& body, const std::string& user) {
  auto pv = body.is_object() && body.contains("port") ? json_as_i64(&body["port"]) : std::optional<int64_t>(0);
  int64_t port = pv.value_or(0);
  if (!slot_port(port)) return json_reply(OJson{{"error", "unknown port"}});

  const auto children = list_children(static_cast<uint16_t>(port), std::nullopt, true);
  if (!children.empty() && !json_flag(body, "cascade")) {
    OJson list = OJson::array();
    for (const auto& c : children) {
      OJson entry = OJson::object();
      entry["port"] = c.contains("port") ? c["port"] : OJson();
      entry["name"] = json_get_str(c, "name");
      list.push_back(std::move(entry));
    }
    OJson reply = OJson::object();
    reply["confirm"] = true;
    reply["children"] = std::move(list);
    return json_reply(reply);
  }
  const std::string because = "its parent :" + std::to_string(port) + " was stopped";
  for (const auto& c : children) (void)stop_session(record_port(c), user, because);

  OJson outcome = stop_session(static_cast<uint16_t>(port), user, "");
  OJson reply = OJson::object();
  reply["ok"] = true;
  reply["flush"] = std::move(outcome);
  reply["children_stopped"] = children.size();
  return json_reply(reply);
}

}  // namespace drovix::host
