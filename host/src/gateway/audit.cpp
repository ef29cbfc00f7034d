#include "host/src/gateway/audit.hpp"

#include "common/text.hpp"
#include "host/src/util/tokens.hpp"
#include "host/src/origin/console_signal.hpp"
#include "host/src/origin/ingest.hpp"

namespace drovix::host {

namespace {

constexpr size_t kAuditTextChars = 4000;
constexpr const char* kDefaultHost = "fleet-umbrix";
constexpr const char* kDefaultUser = "appliance";

// The string at key when the key holds one (even ""), else the fallback.
std::string str_or(const OJson& element, const char* key, const char* fallback) {
  if (element.is_object()) {
    auto it = element.find(key);
    if (it != element.end() && it->is_string()) return it->get<std::string>();
  }
  return fallback;
}

// Removes every character of `chars` (each a whole UTF-8 sequence) at both
// ends, repeatedly.
std::string strip_ends(std::string text, const std::vector<std::string_view>& chars) {
  bool changed = true;
  while (changed && !text.empty()) {
    changed = false;
    for (std::string_view c : chars) {
      if (starts_with(text, c)) {
        text.erase(0, c.size());
        changed = true;
      }
      if (ends_with(text, c) && text.size() >= c.size()) {
        text.erase(text.size() - c.size());
        changed = true;
      }
    }
  }
  return text;
}

const OJson& array_at(const OJson& body, const char* key) {
  static const OJson empty = OJson::array();
  if (!body.is_object()) return empty;
  auto it = body.find(key);
  if (it == body.end() || !it->is_array()) return empty;
  return *it;
}

}  // namespace

std::vector<AuditRow> batch_audit_rows(const OJson& body) {
  std::vector<AuditRow> rows;
  for (const OJson& e : array_at(body, "events")) {
    rows.push_back(audit_row(json_get_str(e, "session_id"), json_get_str(e, "event_id"), "event", json_get_str(e, "event_type"), "",
                             "", take_chars(json_get_str(e, "text"), kAuditTextChars), str_or(e, "host", kDefaultHost),
                             kDefaultUser));
  }
  for (const OJson& s : array_at(body, "signals")) {
    std::string text = strip_ends(json_get_str(s, "title") + ": " + json_get_str(s, "detail"), {":", " "});
    rows.push_back(audit_row(json_get_str(s, "session_id"), json_get_str(s, "event_id"), "signal", json_get_str(s, "rule"),
                             json_get_str(s, "severity"), "", take_chars(text, kAuditTextChars),
                             str_or(s, "host", kDefaultHost), str_or(s, "os_user", kDefaultUser)));
  }
  for (const OJson& h : array_at(body, "hooks")) {
    std::string text = strip_ends(json_get_str(h, "decision") + " \u00b7 " + json_get_str(h, "detail"), {"\u00b7", " "});
    rows.push_back(audit_row(json_get_str(h, "session_id"), "", "hook", json_get_str(h, "hook"), "", json_get_str(h, "tool"),
                             take_chars(text, kAuditTextChars), kDefaultHost, kDefaultUser));
  }
  return rows;
}

OJson ingest_agent_events(const OJson& body, const std::string& caller) {
  insert_audit_rows(batch_audit_rows(body), "gateway");
  origin_ingest(body, caller);
  OJson reply = OJson::object();
  reply["accepted"] = array_at(body, "events").size();
  reply["signals"] = array_at(body, "signals").size();
  reply["hooks"] = array_at(body, "hooks").size();
  return reply;
}

void write_gateway_audit(const std::string& kind, const std::string& tool, const std::string& rule,
                         const std::string& severity, const std::string& text, const std::string& session_id) {
  insert_audit_rows({audit_row(session_id, "", kind, rule, severity, tool, take_chars(text, kAuditTextChars),
                               kDefaultHost, kDefaultUser)},
                    "gateway");
  if (kind == "signal" && tool != "archive") return;
  record_host_event("drovix-gateway", kind, rule, severity, tool, text, session_id, "", "");
}

}  // namespace drovix::host
