#pragma once
// Rows of the origin tables: origin.ai_events (AiEventRow, 20 keys) and
// origin.ai_signals (AiSignalRow, 15 keys), their identifiers and times, the
// cost of a model call, and the insert that writes them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"
#include "host/src/main/config.hpp"
#include "host/src/util/clickhouse.hpp"

namespace drovix::host {

// One row of origin.ai_events / origin.ai_signals as a JSON object whose
// keys are in column order.
using AiEventRow = OJson;
using AiSignalRow = OJson;

// Namespace of the name-based event identifiers.
inline constexpr unsigned char kEventIdNamespace[16] = {0x5d, 0x0e, 0x2c, 0x55, 0x5c, 0x1b, 0x4b, 0x8e,
                                                        0x9a, 0x43, 0x0e, 0x0c, 0x1a, 0x5e, 0x7a, 0x11};

// A hyphenated UUID as it is (lower-cased); the empty text a fresh random
// UUID (version 4); any other text its name-based UUID (version 5), so the
// same record sent twice keeps its id.
std::string stable_event_id(std::string_view text);

// UTC "YYYY-MM-DD HH:MM:SS.mmm" of Unix milliseconds; no time, or 0, is
// now; a time too far from 1970 for a calendar date reads as 1970-01-01.
std::string format_event_ts(std::optional<int64_t> unix_ms);

// US dollars of a model call by price family ("haiku", "sonnet", "opus" in
// the lower-cased model name, first family in that order), rounded to six
// decimal places; 0.0 for a model of no family; null when not finite.
OJson event_cost(std::string_view model, int64_t input_tokens, int64_t output_tokens);

// The 20 defaults (tenant from the settings, a fresh event id, the current
// time, empty texts, zero numbers), then each key of the override object put
// in place. A non-object override gives the defaults.
AiEventRow build_event_row(const OJson& override_value);
AiEventRow build_event_row(const OJson& override_value, const OriginSettings& settings);

// A signal row pointing at the context's event: ts, session_id, event_id,
// host and os_user copied from it (null when missing), a fresh signal id,
// severity "low" when empty, title cut to 300 and detail to 4000
// characters.
AiSignalRow build_signal_row(const OJson& context, const std::string& rule, const std::string& severity,
                             const std::string& title, const std::string& detail, const std::string& field);
AiSignalRow build_signal_row(const OJson& context, const std::string& rule, const std::string& severity,
                             const std::string& title, const std::string& detail, const std::string& field,
                             const OriginSettings& settings);

// Inserts rows into "origin.{table}" ("ai_events" or "ai_signals") in one
// request; nothing is sent for no rows. A failure costs the rows and one
// line on standard output; the caller never hears of it.
void origin_insert(const std::string& table, const std::vector<OJson>& rows);
void origin_insert(const ClickHouseEndpoint& endpoint, const std::string& table, const std::vector<OJson>& rows);

// Where the origin rows go: the configured settings and ClickHouse, or
// others given by a caller.
struct OriginSink {
  const OriginSettings& settings;
  ClickHouseEndpoint clickhouse;
};
OriginSink origin_sink();

}  // namespace drovix::host
