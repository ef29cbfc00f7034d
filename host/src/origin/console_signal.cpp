#include "host/src/origin/console_signal.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <optional>

#include "common/text.hpp"
#include "host/src/origin/ingest.hpp"
#include "host/src/util/clickhouse.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

// "vm-" and four characters that read as a non-zero decimal number (an
// optional "+", then digits only): the session of that slot port.
std::optional<uint16_t> slot_of_session(const std::string& session) {
  if (session.size() != 7 || session.compare(0, 3, "vm-") != 0) return std::nullopt;
  std::string_view n = std::string_view(session).substr(3);
  if (n.front() == '+') n.remove_prefix(1);
  if (n.empty()) return std::nullopt;
  unsigned v = 0;
  for (char c : n) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v == 0) return std::nullopt;
  return static_cast<uint16_t>(v);
}

// The first character of valid UTF-8 text, in bytes.
size_t first_char_len(std::string_view s) {
  unsigned char c = static_cast<unsigned char>(s[0]);
  size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  return std::min(n, s.size());
}

}  // namespace

void emit_console_signal(const std::string& session, const std::string& rule, const std::string& severity,
                         const std::string& message, const std::string& host, const std::string& user) {
  std::string event_id = random_hex(16);
  insert_audit_rows({audit_row(session, event_id, "signal", rule, severity, "console", take_chars(message, 800),
                               host, user)},
                    "console");
  record_host_event("fleet-console", "signal", rule, severity, "console", message, session, host, user);
}

void record_host_event(const std::string& sender, const std::string& kind, const std::string& rule,
                       const std::string& severity, const std::string& tool, const std::string& text,
                       const std::string& session, const std::string& host, const std::string& os_user) {
  if (!host_config().origin.enabled) return;
  record_host_event(origin_sink(), sender, kind, rule, severity, tool, text, session, host, os_user);
}

void record_host_event(const OriginSink& sink, const std::string& sender, const std::string& kind,
                       const std::string& rule, const std::string& severity, const std::string& tool,
                       const std::string& text, const std::string& session, const std::string& host,
                       const std::string& os_user) {
  const OriginSettings& settings = sink.settings;
  if (!settings.enabled) return;

  std::string session_id, fallback_user, fallback_host;
  if (auto port = slot_of_session(session)) {
    OriginSessionInfo info = lookup_session_info(*port, settings);
    session_id = info.session_id;
    fallback_user = info.user;
    fallback_host = info.host;
  } else {
    session_id = session.empty() || session == "console" ? "fleet-console" : session;
    fallback_host = settings.host;
  }

  std::string event_type = kind == "signal" && !rule.empty() ? rule : kind == "blocked" ? "policy_block" : kind;
  const bool blocked = kind == "blocked";
  std::string row_host = starts_with(session_id, "fleet-") ? fallback_host : host.empty() ? settings.host : host;
  std::string row_user = !os_user.empty() ? os_user : !fallback_user.empty() ? fallback_user : "appliance";

  OJson o = {{"host", row_host},   {"os_user", row_user},    {"session_id", session_id},
             {"agent", sender},    {"event_type", event_type}, {"tool_name", tool},
             {"text", take_chars(text, 8000)}, {"is_error", blocked ? 1 : 0}};
  AiEventRow row = build_event_row(o, settings);
  origin_insert(sink.clickhouse, "ai_events", {row});

  std::string title;
  if (blocked) {
    title = "Blocked: " + (text.empty() ? rule : take_chars(text, 160));
  } else if (kind == "signal" && (severity == "high" || severity == "medium")) {
    std::string phrase = rule;
    for (char& c : phrase)
      if (c == '_') c = ' ';
    title = capitalize_first(phrase);
    if (title.empty()) title = kind;
  } else {
    return;
  }
  origin_insert(sink.clickhouse, "ai_signals",
                {build_signal_row(row, rule.empty() ? kind : rule, severity, title, text, "", settings)});
}

std::string capitalize_first(const std::string& text) {
  if (text.empty()) return "";
  size_t n = first_char_len(text);
  std::string first;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(n))).toUpper(icu::Locale::getRoot()).toUTF8String(first);
  return first + to_lower_unicode(std::string_view(text).substr(n));
}

}  // namespace drovix::host
