#pragma once
// Audit events the host raises itself (launches, stops, refusals, admin
// changes, the gateway's own audit): one datalake.ai_audit row for console
// signals, and copies in the origin tables.
#include <string>

#include "host/src/origin/rows.hpp"

namespace drovix::host {

// Writes one "signal" row into datalake.ai_audit (a fresh 32-hex event id,
// tool "console", the text cut to 800 characters), then hands the whole
// signal to the origin sink. Never fails towards the caller; failed inserts
// are logged.
void emit_console_signal(const std::string& session, const std::string& rule, const std::string& severity,
                         const std::string& message, const std::string& host, const std::string& user);

// Copies one host event into origin.ai_events and, for kind "blocked" and
// for signals of severity "high" or "medium", into origin.ai_signals.
// Nothing happens while the sink is disabled.
void record_host_event(const std::string& sender, const std::string& kind, const std::string& rule,
                       const std::string& severity, const std::string& tool, const std::string& text,
                       const std::string& session, const std::string& host, const std::string& os_user);
void record_host_event(const OriginSink& sink, const std::string& sender, const std::string& kind,
                       const std::string& rule, const std::string& severity, const std::string& tool,
                       const std::string& text, const std::string& session, const std::string& host,
                       const std::string& os_user);

// The first character upper-cased and the rest lower-cased, both with the
// full Unicode mappings ("grant CREATED" -> "Grant created", "ß" -> "SS").
std::string capitalize_first(const std::string& text);

}  // namespace drovix::host
