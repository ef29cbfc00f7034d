#pragma once
// The gateway's audit trail in datalake.ai_audit: the agents' event batches
// and the gateway's own actions (archives, data-lake reads and refusals).
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"
#include "host/src/util/clickhouse.hpp"

namespace drovix::host {

// One audit row per element of the batch's "events", "signals" and "hooks"
// arrays (in that order), inserted together; then the batch goes on to the
// origin tables. Returns {"accepted", "signals", "hooks"} with the three
// element counts. Never fails.
OJson ingest_agent_events(const OJson& body, const std::string& caller);

// The rows ingest_agent_events inserts for a batch.
std::vector<AuditRow> batch_audit_rows(const OJson& body);

// One row for an action of the gateway itself, copied into the origin
// tables unless it is a "signal" of another tool than "archive". Failures
// are logged, never returned.
void write_gateway_audit(const std::string& kind, const std::string& tool, const std::string& rule,
                         const std::string& severity, const std::string& text, const std::string& session_id);

}  // namespace drovix::host
