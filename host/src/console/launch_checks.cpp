#include "host/src/console/launch_checks.hpp"
#include "host/src/sp/sharepoint.hpp"

#include <cctype>
#include <cstdlib>
#include <map>

#include "common/fs.hpp"
#include "common/text.hpp"
#include "host/src/console/archives.hpp"
#include "host/src/console/features.hpp"
#include "host/src/console/policy.hpp"
#include "host/src/console/provision.hpp"
#include "host/src/console/registry.hpp"
#include "host/src/console/replies.hpp"
#include "host/src/console/vault.hpp"
#include "host/src/console/vm_unit.hpp"
#include "host/src/main/config.hpp"
#include "host/src/origin/console_signal.hpp"
#include "host/src/util/commands.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

const OJson* member(const OJson& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

bool one_of(int64_t v, std::initializer_list<int64_t> allowed) {
  for (int64_t a : allowed)
    if (v == a) return true;
  return false;
}

// Trimmed of white space, then of "/" at both ends.
std::string normalise_folder(const OJson* value) {
  std::string s = trim_unicode(json_to_text(value));
  size_t b = s.find_first_not_of('/');
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of('/');
  return s.substr(b, e - b + 1);
}

// No "." or ".." part, no ":" and no "\" anywhere.
bool folder_allowed(const std::string& root) {
  if (root.find(':') != std::string::npos || root.find('\\') != std::string::npos) return false;
  size_t start = 0;
  while (true) {
    size_t slash = root.find('/', start);
    std::string part = root.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part == "." || part == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// A registry key that names a port: an optional "+" and digits, at most
// 65535.
std::optional<uint16_t> port_key(const std::string& key) {
  std::string_view s = key;
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty() || s.size() > 6) return std::nullopt;
  uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 65535) return std::nullopt;
  return static_cast<uint16_t>(v);
}

// Archive name -> port of the running, non-ephemeral session that has it
// open (a later record wins).
std::map<std::string, uint16_t> open_archives() {
  std::map<std::string, uint16_t> open;
  OJson table = read_sessions();
  for (const auto& [key, rec] : table.items()) {
    auto port = port_key(key);
    if (!port || !rec.is_object()) continue;
    std::string archive = json_get_str(rec, "archive");
    if (archive.empty() || json_flag(rec, "ephemeral")) continue;
    if (!agent_unit_active(*port)) continue;
    open[archive] = *port;
  }
  return open;
}

Error refuse(std::string text) { return Error(std::move(text)); }

}  // namespace

OJson error_object_owned(std::string text) { return OJson{{"error", std::move(text)}}; }

std::string anthropic_api_host() { return "api.anthropic.com"; }
std::string bedrock_runtime_host(const std::string& region) {
  return "bedrock-runtime." + region + ".amazonaws.com";
}

OJson session_labels(bool datalake, bool web, const std::string& provider) {
  OJson l = OJson::object();
  l["confidential"] = datalake;
  l["external"] = web || provider == "anthropic";
  return l;
}

std::string label_text(const OJson& labels) {
  bool c = json_flag(labels, "confidential");
  bool e = json_flag(labels, "external");
  if (c && e) return "confidential + external";
  if (c) return "confidential";
  if (e) return "external";
  return "internal";
}

bool label_may_flow(const OJson& from, const OJson& to) {
  return !(json_flag(from, "confidential") && json_flag(to, "external") && !json_flag(to, "confidential"));
}

std::string explain_launch_policy(const OJson& labels, bool web, const std::string& provider) {
  if (!read_policy().confidential_internal) return "";
  if (!json_flag(labels, "confidential") || !json_flag(labels, "external")) return "";
  std::vector<std::string> banned, fixes;
  if (provider == "anthropic") {
    banned.push_back("the Anthropic API");
    fixes.push_back("pick an internal model server");
  }
  if (web) {
    banned.push_back("Web Search");
    fixes.push_back("turn off Web Search");
  }
  // External without the Anthropic API or web search cannot happen, but a
  // refusal must never read as an empty sentence.
  if (banned.empty()) return "";
  auto join = [](const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? sep : "") + parts[i];
    return out;
  };
  std::string fix = join(fixes, " and ");
  fix[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(fix[0])));
  return "Policy: confidential data stays internal, so an agent with the Data Lake can't use " +
         join(banned, " or ") + ". " + fix + ".";
}

std::optional<LlmChoice> provider_settings(const std::string& name) {
  LlmChoice s = load_llm_settings();
  if (name.empty()) return s;
  for (const auto& e : s.enabled) {
    if (e == name) {
      s.chosen = name;
      return s;
    }
  }
  return std::nullopt;
}

int64_t workspace_pool_mb_from(const char* value) {
  constexpr int64_t kDefault = 10240;
  if (value == nullptr) return kDefault;
  std::string_view s = value;
  if (!is_valid_utf8(s)) return kDefault;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return kDefault;
  // Accumulated as a negative number so that the most negative value fits.
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return kDefault;
    int d = c - '0';
    if (v < (INT64_MIN + d) / 10) return kDefault;
    v = v * 10 - d;
  }
  if (!negative) {
    if (v == INT64_MIN) return kDefault;
    v = -v;
  }
  return v;
}

int64_t workspace_pool_mb() { return workspace_pool_mb_from(std::getenv("WORKSPACE_POOL_MB")); }

int64_t workspace_used_mb() { return workspace_used_mb(running_vm_ports()); }

int64_t workspace_used_mb(const std::set<uint16_t>& running) {
  int64_t used = 0;
  OJson table = read_sessions();
  for (const auto& [key, rec] : table.items()) {
    auto port = port_key(key);
    if (!port || !running.count(*port)) continue;
    auto mb = json_as_i64(member(rec, "workspace_mb"));
    if (mb) used += *mb;
  }
  return used;
}

Result<LaunchSettings> check_launch_request(const OJson& request_in, const std::string& user,
                                            const std::optional<SubAgentLaunch>& sub) {
  OJson req = request_in.is_object() ? request_in : OJson::object();
  LaunchSettings s;

  // 1. Options the administrator hid take their most restricted values
  //    (auditing: fully on), whatever the form sent.
  const FeatureSettings features = read_features();
  if (!features.onedrive) {
    req["onedrive"] = "none";
    req["workspace_mb"] = 0;
    req["workspace_folder"] = "";
  }
  if (!features.datalake) req["mcp"] = false;
  if (!features.web) req["web"] = false;
  if (!features.audit) {
    req["audit"] = true;
    req["hooks"] = OJson::object();
  }
  if (!features.skills) req["skills"] = false;
  if (!features.subagents) req["subagents"] = OJson{{"max", 0}};
  if (!features.archive) {
    req["ephemeral"] = true;
    req["session_mode"] = "new";
  }

  // 2. Switches and the Data Lake desk.
  const OJson* audit = member(req, "audit");
  s.audit = audit == nullptr ? true : json_truthy(*audit);
  std::string onedrive = json_get_str(req, "onedrive");
  s.onedrive = (onedrive == "ro" || onedrive == "rw" || onedrive == "none") ? onedrive : "none";
  s.datalake = json_flag(req, "mcp");
  if (s.datalake) {
    const OJson* desk = member(req, "datalake_desk");
    if (desk == nullptr) {
      s.desk = "all";
    } else if (desk->is_string()) {
      s.desk = desk->get<std::string>();
    } else {
      return refuse("Pick a desk for the Data Lake.");
    }
    if (s.desk != "all" && s.desk != "fx" && s.desk != "rates" && s.desk != "credit" && s.desk != "equities")
      return refuse("Pick a desk for the Data Lake.");
  }
  s.skills = json_flag(req, "skills");
  s.web = json_flag(req, "web");
  s.reader = s.onedrive != "none";
  OJson hooks_in = object_or_empty(member(req, "hooks"));
  for (const char* name : kHookNames) {
    const OJson* h = member(hooks_in, name);
    s.hooks[name] = h == nullptr ? true : json_truthy(*h);
  }

  // 3. Workspace size.
  auto mb = json_as_i64(member(req, "workspace_mb"));
  if (!mb || !one_of(*mb, {0, 512, 1024, 2048})) return refuse("Pick a workspace size: none, 512 MB, 1 GB or 2 GB.");
  s.workspace_mb = *mb;

  // 4.-5. Folders.
  s.workspace_folder = take_chars(normalise_folder(member(req, "workspace_folder")), 300);
  s.sharepoint_root = sub ? normalise_folder(member(req, "sharepoint_root")) : s.workspace_folder;
  if (!folder_allowed(s.sharepoint_root)) return refuse("That SharePoint folder name isn't allowed.");

  // 6. Sub-agents.
  const OJson subagents = object_or_empty(member(req, "subagents"));
  if (!sub) {
    auto limit = json_as_i64(member(subagents, "max"));
    if (!limit || !one_of(*limit, {0, 1, 3, 5})) return refuse("Pick a sub-agent limit: 1, 3 or 5.");
    s.subagent_limit = *limit;
  }
  s.subagent_profile = s.subagent_limit == 0 ? "same" : read_policy().subagent_profile;
  s.share_workspace = json_flag(subagents, "share_workspace") && s.subagent_limit > 0 && s.workspace_mb > 0 &&
                      s.subagent_profile == "same";

  // 7. SharePoint, workspace and skills.
  if (s.workspace_mb != 0 && s.onedrive == "none")
    return refuse("The workspace stages files from SharePoint: choose SharePoint read-only or read-write.");
  if (!sub && s.onedrive != "none" && (s.workspace_mb == 0 || s.workspace_folder.empty()))
    return refuse("Pick a SharePoint folder and a workspace size.");
  if (s.skills && !path_exists(skills_path())) return refuse("No skills.md is installed on this box.");

  // 8. Archives.
  const OJson* mode = member(req, "session_mode");
  s.session_mode = mode && mode->is_string() && mode->get_ref<const std::string&>() == "resume" ? "resume" : "new";
  s.ephemeral = json_flag(req, "ephemeral");
  s.archive = sanitize_name(json_get_str(req, "archive"));
  const OJson archives = list_archives();
  const auto open = open_archives();
  if (s.session_mode == "resume") {
    auto entry = find_by_name(archives, s.archive);
    if (!entry) return refuse("Pick an archive to resume.");
    if (!s.ephemeral) {
      if (auto it = open.find(s.archive); it != open.end())
        return refuse("Archive '" + s.archive + "' is open in VM :" + std::to_string(it->second) +
                      ". Stop that VM first, or resume it as Ephemeral (read-only).");
    }
    s.resume_file = json_get_str(*entry, "file");
    // A resume must never quietly become a fresh session: the archive and
    // its pass phrase have to be there.
    if (s.resume_file.empty() || !path_exists(snapshots_dir() + "/" + s.resume_file))
      return refuse("Archive '" + s.archive + "' has no saved version to resume.");
    if (!path_exists(certdir_path("snapshot.pass")))
      return refuse("No snapshot.pass is installed on this box, so archives can't be resumed.");
  } else if (!s.ephemeral) {
    if (s.archive.empty()) return refuse("Give the new archive a name.");
    if (find_by_name(archives, s.archive) || open.count(s.archive))
      return refuse("An archive named '" + s.archive + "' already exists. Pick another name, or choose Resume.");
  } else {
    s.archive.clear();
  }

  // 9. Connectors.
  const OJson vault = read_vault();
  if (s.onedrive != "none" && find_service(vault, "onedrive").empty()) return refuse("SharePoint not connected");
  if (s.datalake) {
    auto entries = find_service(vault, "mcp:datalake");
    if (entries.empty()) return refuse("Data Lake MCP not connected");
    s.services.insert(s.services.end(), entries.begin(), entries.end());
  }
  if (s.web) {
    auto entries = find_service(vault, "mcp:websearch");
    if (entries.empty() || !path_exists(certdir_path("brave.key"))) return refuse("Web Search not connected");
    s.services.insert(s.services.end(), entries.begin(), entries.end());
    systemctl({"start", "drovix-websearch.service"});
  }

  // 10. Model server.
  auto llm = provider_settings(json_get_str(req, "llm"));
  if (!llm) return refuse("That model server isn't enabled in Admin.");
  s.llm = std::move(*llm);
  const std::string& provider = s.llm.chosen;

  // 11. Labels and the confidential-internal policy.
  s.labels = session_labels(s.datalake, s.web, provider);
  std::string policy = explain_launch_policy(s.labels, s.web, provider);
  if (!policy.empty()) {
    emit_console_signal("console", "label_blocked", "medium", "Launch by " + user + " refused: " + policy,
                        "fleet-console", user);
    return refuse(policy);
  }

  // 12. No write down from a parent to its child.
  if (sub && !sub->declassified && !label_may_flow(sub->parent_labels, s.labels)) {
    std::string text = "No write down: the parent is " + label_text(sub->parent_labels) +
                       ", so it can't start a sub-agent that is " + label_text(s.labels) + ".";
    std::string parent = std::to_string(sub->parent_port);
    emit_console_signal("vm-" + parent, "label_blocked", "medium", text, "fleet-vm-" + parent, user);
    return refuse(text);
  }

  // 13. Where the relay sends the model calls.
  if (provider == "bedrock") {
    std::string region = json_get_str(s.llm.bedrock, "region");
    std::string model = json_get_str(s.llm.bedrock, "model");
    if (region.empty() || model.empty()) return refuse("Bedrock needs a region and a model in Admin.");
    s.provider_path = "/model/" + model;
    s.upstream["bedrock"] = OJson{{"host", bedrock_runtime_host(region)}, {"model", model}};
  } else if (provider == "private") {
    std::string host = json_get_str(s.llm.private_settings, "host");
    if (host.empty()) return refuse("The private model server has no host in Admin.");
    s.provider_path = "/";
    s.upstream["private"] = OJson{{"host", host}};
  } else {
    s.provider_path = "/";
    s.upstream["anthropic"] = OJson{{"host", anthropic_api_host()}};
  }
  if (s.onedrive != "none") s.upstream["graph"] = OJson{{"drive", sharepoint_drive_path()}, {"root", s.sharepoint_root}};
  return s;
}

Result<std::pair<uint16_t, uint16_t>> check_pool_and_choose_slot(int64_t workspace_mb) {
  // One look at which units run serves both the pool sum and the slot.
  const std::set<uint16_t> running = running_vm_ports();
  if (workspace_mb != 0) {
    const int64_t pool = workspace_pool_mb();
    int64_t free_mb = pool - workspace_used_mb(running);
    if (workspace_mb > free_mb)
      return refuse("Only " + std::to_string(free_mb) + " MB of the " + std::to_string(pool) +
                    " MB workspace pool is free.");
  }
  auto slot = free_vm_slot(running);
  if (!slot) return refuse("all VM slots (8001-8008) are in use");
  return *slot;
}

}  // namespace drovix::host
