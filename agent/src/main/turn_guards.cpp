#include "agent/src/main/turn_guards.hpp"

#include "agent/src/main/confidential.hpp"
#include "agent/src/main/drive_paths.hpp"
#include "agent/src/main/hooks.hpp"
#include "agent/src/main/settings.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr std::string_view kEgressWords = "stored credential appeared";
constexpr std::string_view kMarkedRefusal = "BLOCKED \u2014 this file's contents are marked";

bool has_marker(const std::string& text) { return find_confidential_marker(to_lower_unicode(text)); }

}  // namespace

void apply_turn_guards_in(std::string_view sharepoint_root, const GuardedCall& call,
                          std::vector<ComplianceSignal>& signals) {
  const std::string& tool = call.name;
  const bool ok = !call.is_error;
  const bool exports = tool == "export_table" || tool == "export_redline";
  const bool saves = tool == "save_document";

  if (ok && (exports || saves)) {
    std::string path = sharepoint_root_path_in(sharepoint_root, json_get_str(call.input, saves ? "path" : "to"));
    signals.push_back(new_signal("external_write", "low", "Document written to external store (SharePoint)",
                                 tool + " wrote '" + path + "' to the SharePoint library.", saves ? "path" : "to"));
  }

  if (ok && tool == "checkpoint_session") {
    std::string title = "session";
    if (call.input.is_object()) {
      auto it = call.input.find("title");
      if (it != call.input.end() && it->is_string()) title = it->get<std::string>();
    }
    signals.push_back(new_signal(
        "session_checkpointed", "low", "Session state checkpointed",
        "Session learnings ('" + title + "') were sealed to a portable encrypted blob for later resume.",
        "session"));
  }

  if (!ok) {
    if (call.text.find(kEgressWords) != std::string::npos) {
      signals.push_back(new_signal("egress_secret_blocked", "high", "Blocked: stored credential in outbound content",
                                   "The " + tool +
                                       " egress was refused: outbound content contained a stored credential.",
                                   "content"));
    }
    if (starts_with(call.text, kMarkedRefusal)) {
      std::string path = json_get_str(call.input, saves ? "path" : "to");
      signals.push_back(new_signal(
          "ungranted_access", "high", "Blocked: SharePoint export with no active grant",
          tool + " to '" + path +
              "' was denied \u2014 its contents are marked internal / do-not-share, and there was no active "
              "'Export marked files' grant (SharePoint card in the Vuviv Avivu Rozoziv).",
          "path"));
    }
  }

  if (ok && tool == "read_document" && has_marker(call.text)) {
    signals.push_back(new_signal("sensitive_source_referenced", "medium", "Restricted document read from SharePoint",
                                 "read_document opened '" + json_get_str(call.input, "path") +
                                     "', whose contents carry an internal / do-not-share marking.",
                                 "path"));
  }
  if (ok && saves && has_marker(json_get_str(call.input, "content"))) {
    signals.push_back(new_signal("sensitive_content_written", "medium", "Restricted content written to external store",
                                 "save_document wrote '" + json_get_str(call.input, "path") +
                                     "', whose contents carry an internal / do-not-share marking.",
                                 "content"));
  }
}

void apply_turn_guards(const GuardedCall& call, std::vector<ComplianceSignal>& signals) {
  apply_turn_guards_in(sharepoint_root_config(), call, signals);
}

void pre_response_hook(const std::string& text) {
  run_policy_hook(HookKind::PreResponse, "text", text, std::to_string(char_count(text)) + " chars");
}

}  // namespace drovix::agent
