#include "host/src/origin/console_signal.hpp"

#include "host/src/util/clickhouse.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

void emit_console_signal(const std::string& session, const std::string& rule, const std::string& severity,
                         const std::string& message, const std::string& host, const std::string& user) {
  std::string event_id = random_hex(16);
  insert_audit_rows({audit_row(session, event_id, "signal", rule, severity, "console", take_chars(message, 800),
                               host, user)},
                    "console");
  // The copy of the signal for the origin tables (source "fleet-console",
  // whole message) is added with the origin export.
}

}  // namespace drovix::host
