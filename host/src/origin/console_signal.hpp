#pragma once
// Audit signals the host raises itself (launches, stops, refusals, admin
// changes).
#include <string>

namespace drovix::host {

// Writes one "signal" row into datalake.ai_audit: a fresh 32-hex event id,
// tool "console", the message cut to 800 characters. Never fails towards
// the caller; a failed insert is logged.
void emit_console_signal(const std::string& session, const std::string& rule, const std::string& severity,
                         const std::string& message, const std::string& host, const std::string& user);

}  // namespace drovix::host
