#include "host/src/console/launch.hpp"

#include <thread>

#include "common/fs.hpp"
#include "host/src/console/provision.hpp"
#include "host/src/console/registry.hpp"
#include "host/src/main/config.hpp"
#include "host/src/origin/console_signal.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

const char* py_bool(bool b) { return b ? "True" : "False"; }

}  // namespace

std::mutex& launch_lock() {
  static std::mutex m;
  return m;
}

bool is_web_listening(const std::string& log) { return log.find("WEB LISTENING") != std::string::npos; }

int count_truthy(const OJson& object) {
  int n = 0;
  if (!object.is_object()) return 0;
  for (const auto& [k, v] : object.items())
    if (json_truthy(v)) ++n;
  return n;
}

bool wait_for_ready(const std::string& log_path, int attempts, std::chrono::milliseconds pause) {
  for (int i = 0; i < attempts; ++i) {
    auto log = read_file(log_path);
    if (log && is_web_listening(*log)) return true;
    std::this_thread::sleep_for(pause);
  }
  return false;
}

OJson build_launch_options(const LaunchSettings& s, const std::optional<SubAgentLaunch>& sub) {
  OJson o = OJson::object();
  o["audit"] = s.audit;
  o["onedrive"] = s.onedrive;
  o["archive"] = s.archive;
  o["mode"] = s.session_mode;
  o["ephemeral"] = s.ephemeral;
  o["workspace_mb"] = s.workspace_mb;
  o["workspace_folder"] = s.workspace_folder;
  o["sharepoint_root"] = s.onedrive == "none" ? std::string() : s.sharepoint_root;
  o["hooks"] = s.hooks;
  o["subagents"] = s.subagent_limit;
  o["share_workspace"] = s.share_workspace;
  o["subagent_profile"] = s.subagent_profile;
  o["reader"] = s.reader;
  o["datalake_desk"] = s.datalake ? s.desk : std::string();
  o["llm"] = provider_label(s.llm);
  if (sub) {
    o["role"] = "child";
    o["parent_port"] = sub->parent_port;
    o["task"] = sub->task;
    o["child_name"] = sub->name;
  }
  return o;
}

OJson build_session_perms(const LaunchSettings& s) {
  OJson p = OJson::object();
  p["audit"] = s.audit;
  p["onedrive"] = s.onedrive;
  p["mcp"] = s.datalake;
  p["datalake_desk"] = s.datalake ? s.desk : std::string();
  p["web"] = s.web;
  p["skills"] = s.skills;
  p["workspace"] = s.workspace_mb;
  p["sharepoint_root"] = s.sharepoint_root;
  p["hooks"] = s.hooks;
  p["subagents"] = s.subagent_limit;
  p["share_workspace"] = s.share_workspace;
  p["llm"] = provider_label(s.llm);
  p["llm_provider"] = s.llm.chosen;
  p["labels"] = s.labels;
  p["subagent_profile"] = s.subagent_profile;
  p["reader"] = s.reader;
  return p;
}

std::string launched_text(uint16_t port, const std::string& user, const LaunchSettings& s,
                          const std::optional<SubAgentLaunch>& sub) {
  std::string t = "VM :" + std::to_string(port) + " launched by " + user;
  if (sub) t += " as sub-agent '" + sub->name + "' of VM :" + std::to_string(sub->parent_port);
  t += " \u2014 audit=" + std::string(py_bool(s.audit)) + " onedrive=" + s.onedrive;
  if (s.onedrive != "none" && !s.sharepoint_root.empty()) t += " folder=" + s.sharepoint_root;
  t += " datalake=" + (s.datalake ? s.desk : std::string("off"));
  t += " web=" + std::string(py_bool(s.web)) + " skills=" + py_bool(s.skills);
  t += " hooks=" + std::to_string(count_truthy(s.hooks)) + "/5";
  t += " workspace=" + std::to_string(s.workspace_mb) + "MB";
  if (!s.workspace_folder.empty()) t += ":" + s.workspace_folder;
  t += " reader=" + std::string(py_bool(s.reader)) + " subagents=" + std::to_string(s.subagent_limit);
  if (s.share_workspace) t += " (shared workspace)";
  t += " session=" + s.session_mode + " archive=" + (s.archive.empty() ? std::string("-") : s.archive);
  t += " ephemeral=" + std::string(py_bool(s.ephemeral)) + " model=" + provider_label(s.llm);
  if (s.llm.chosen == "bedrock") t += " " + json_get_str(s.llm.bedrock, "model");
  t += " label=" + label_text(s.labels);
  return t;
}

OJson launch_session(const OJson& request, const std::string& user, const std::optional<SubAgentLaunch>& sub,
                     const std::optional<OJson>& handoff) {
  auto checked = check_launch_request(request, user, sub);
  if (!checked) return error_object_owned(checked.message());
  const LaunchSettings& s = *checked;

  const OJson options = build_launch_options(s, sub);
  uint16_t port = 0;
  std::string log_path;
  {
    std::lock_guard<std::mutex> launch(launch_lock());
    auto slot = check_pool_and_choose_slot(s.workspace_mb);
    if (!slot) return error_object_owned(slot.message());
    port = slot->first;

    ProvisionRequest req;
    req.vm_dir = vmstate_dir() + "/" + std::to_string(port);
    req.log_path = req.vm_dir + "/webui.log";
    req.port = port;
    req.provider = s.llm.chosen;
    req.onedrive = s.onedrive;
    req.upstream = s.upstream;
    req.services = s.services;
    req.provider_path = s.provider_path;
    req.certs_dir = req.vm_dir + "/certs";
    req.options = options;
    req.resume_file = s.resume_file;
    req.skills = s.skills;
    req.handoff = handoff;
    req.slot = *slot;
    req.workspace_mb = s.workspace_mb;
    req.llm = s.llm;
    if (s.upstream.contains("graph")) req.od_drive = json_get_str(s.upstream["graph"], "drive");
    log_path = req.log_path;

    if (auto st = provision_agent_vm(req); !st) return error_object_owned("launch error: " + take_chars(st.message(), 140));

    OJson record = OJson::object();
    record["port"] = port;
    record["perms"] = build_session_perms(s);
    record["archive"] = s.archive;
    record["session_mode"] = s.session_mode;
    record["ephemeral"] = s.ephemeral;
    record["workspace_mb"] = s.workspace_mb;
    record["workspace_folder"] = s.workspace_folder;
    record["started"] = local_time_text();
    record["by"] = user;
    if (sub) {
      record["parent"] = sub->parent_port;
      record["parent_started"] = sub->parent_started;
      record["name"] = sub->name;
      record["task"] = sub->task;
      record["status"] = "running";
    }
    std::lock_guard<std::mutex> sessions(sessions_mutex());
    OJson table = read_sessions();
    table[std::to_string(port)] = std::move(record);
    write_sessions(table);
  }

  const bool ready = !sub && wait_for_ready(log_path, 40, std::chrono::seconds(1));

  const std::string p = std::to_string(port);
  emit_console_signal("vm-" + p, "session_launched", "low", launched_text(port, user, s, sub), "fleet-vm-" + p, user);
  if (sub) {
    const std::string parent = std::to_string(sub->parent_port);
    emit_console_signal("vm-" + parent, "subagent_started", "low",
                        "VM :" + parent + " started sub-agent '" + sub->name + "' on VM :" + p +
                            " \u2014 task: " + take_chars(sub->task, 600),
                        "fleet-vm-" + parent, user);
  }
  if (s.session_mode == "resume") {
    emit_console_signal("vm-" + p, "snapshot_loaded", "medium",
                        "VM :" + p + " resumed archive '" + s.archive + "' (" + s.resume_file + ")" +
                            (s.ephemeral ? " read-only (ephemeral)" : "") + " by " + user,
                        "fleet-vm-" + p, user);
  }

  OJson reply = OJson::object();
  reply["url"] = "https://" + host_config().hostname + ":" + p + "/";
  reply["port"] = port;
  reply["ready"] = ready;
  if (sub) reply["name"] = sub->name;
  return reply;
}

}  // namespace drovix::host
