#pragma once
// Audit reporting to the host gateway: each chat turn's two telemetry
// events with the compliance signals and policy-hook decisions of the turn,
// and single signals sent at once by tools and staging. Reporting is best
// effort: failures are printed or ignored and never retried.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/src/main/keyring.hpp"
#include "common/json.hpp"

namespace drovix::agent {

inline constexpr const char* kTelemetryAgent = "drovix-agent (unikernel)";
inline constexpr const char* kTelemetryAgentVersion = "umbrix-0.3";
inline constexpr const char* kTelemetryHost = "fleet-umbrix";
inline constexpr const char* kSignalOsUser = "appliance";
// Prompt and answer texts are cut to this many characters.
inline constexpr size_t kTelemetryTextChars = 8000;

// A compliance signal raised during a turn or by a tool; severity is "low",
// "medium" or "high".
struct ComplianceSignal {
  std::string rule;
  std::string severity;
  std::string title;
  std::string detail;
  std::string field;
};

// The five texts unchanged.
ComplianceSignal new_signal(std::string rule, std::string severity, std::string title, std::string detail,
                            std::string field);

// One telemetry record. The assistant record also carries cost and token
// counts; the user_prompt record has none of the four.
struct TelemetryEvent {
  std::string event_id;
  std::string event_type;  // "user_prompt" or "assistant"
  std::string model;
  std::string session_id;
  std::string text;  // already cut to kTelemetryTextChars characters
  uint64_t ts = 0;
  struct Usage {
    uint64_t cost_usd = 0;
    int64_t duration_ms = 0;
    uint64_t input_tokens = 0;
    uint64_t output_tokens = 0;
  };
  std::optional<Usage> usage;  // assistant record only
};

SJson telemetry_event_json(const TelemetryEvent& ev);

// The body of POST /v1/events. A turn report has "hooks"; an immediate
// signal report has none.
struct AuditBatch {
  std::vector<TelemetryEvent> events;
  std::optional<std::vector<SJson>> hooks;
  std::vector<SJson> signals;
};

SJson audit_batch_json(const AuditBatch& batch);

// The turn's signals as audit records, each with a fresh signal id, the
// assistant record's ts and event id and the session id.
std::vector<SJson> signal_json(const std::vector<ComplianceSignal>& signals, uint64_t assistant_ts,
                               const std::string& session_id, const std::string& assistant_event_id);

// The batch of one finished turn, built as send_telemetry sends it.
AuditBatch turn_batch(const std::string& session_id, const std::string& prompt, const std::string& answer,
                      const std::string& model, uint64_t input_tokens, uint64_t output_tokens,
                      uint64_t start_ms, uint64_t end_ms, const std::vector<ComplianceSignal>& signals,
                      std::vector<SJson> hooks);

// Reports one turn to the gateway's /v1/events with the "telemetry"
// credential, printing the outcome. Times are milliseconds since 1970.
void send_telemetry(const Keyring& kr, const std::string& session_id, const std::string& prompt,
                    const std::string& answer, const std::string& model, uint64_t input_tokens,
                    uint64_t output_tokens, uint64_t start_ms, uint64_t end_ms,
                    std::vector<ComplianceSignal> signals, std::vector<SJson> hooks);

// Reports one signal at once (session and field "workspace"); every
// failure is ignored.
void send_signals(const Keyring& kr, const std::string& rule, const std::string& severity,
                  const std::string& title, const std::string& detail);

// One finished turn's values for a telemetry thread.
struct TurnReport {
  std::string session_id;
  std::string prompt;
  std::string answer;
  std::string model;
  uint64_t input_tokens = 0;
  uint64_t output_tokens = 0;
  uint64_t start_ms = 0;
  uint64_t end_ms = 0;  // ignored by the threads that take the end time themselves
  std::vector<ComplianceSignal> signals;
  std::vector<SJson> hooks;
};

// Detached threads that send one turn report away from the caller:
// telemetry_thread sends the report as given; short_telemetry_thread
// reports a failed turn (the answer is the failure text) with no model, no
// tokens and no signals, its end time taken when it runs;
// subagent_telemetry_thread reports a child's turn, its end time taken when
// it runs.
void telemetry_thread(std::shared_ptr<const Keyring> kr, TurnReport report);
void short_telemetry_thread(std::shared_ptr<const Keyring> kr, std::string session_id, std::string prompt,
                            std::string failure_text, uint64_t start_ms, std::vector<SJson> hooks);
void subagent_telemetry_thread(std::shared_ptr<const Keyring> kr, TurnReport report);

}  // namespace drovix::agent
