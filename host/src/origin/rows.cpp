#include "host/src/origin/rows.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "common/crypto.hpp"
#include "common/encoding.hpp"
#include "common/text.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

constexpr int64_t kMsPerDay = 86'400'000;
// The calendar range that times are written for.
constexpr int64_t kMinYear = -262'144;
constexpr int64_t kMaxYear = 262'143;

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_hyphenated_uuid(std::string_view s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !is_hex(s[i])) return false;
  }
  return true;
}

std::string uuid_text(const std::string& bytes16) {
  std::string h = hex_lower(bytes16);
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Proleptic Gregorian date of a day count since 1970-01-01.
void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

std::string year_text(int64_t y) {
  char buf[32];
  if (y >= 0 && y <= 9999) {
    std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(y));
  } else if (y > 9999) {
    std::snprintf(buf, sizeof buf, "+%lld", static_cast<long long>(y));
  } else {
    std::snprintf(buf, sizeof buf, "-%04lld", static_cast<long long>(-y));
  }
  return buf;
}

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

OJson field_or_null(const OJson& context, const char* key) {
  if (!context.is_object()) return nullptr;
  auto it = context.find(key);
  return it == context.end() ? OJson(nullptr) : *it;
}

}  // namespace

std::string stable_event_id(std::string_view text) {
  if (is_hyphenated_uuid(text)) return to_lower_ascii(text);
  if (text.empty()) return uuid_v4();
  std::string name(reinterpret_cast<const char*>(kEventIdNamespace), sizeof kEventIdNamespace);
  name.append(text);
  std::string b = sha1(name).substr(0, 16);
  b[6] = static_cast<char>((b[6] & 0x0F) | 0x50);
  b[8] = static_cast<char>((b[8] & 0x3F) | 0x80);
  return uuid_text(b);
}

std::string format_event_ts(std::optional<int64_t> unix_ms) {
  int64_t ms = unix_ms.value_or(0);
  if (ms == 0) ms = now_ms();
  int64_t days = floor_div(ms, kMsPerDay);
  int64_t in_day = ms - days * kMsPerDay;
  int64_t y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  if (y < kMinYear || y > kMaxYear) {
    y = 1970;
    m = d = 1;
    in_day = 0;
  }
  const auto t = static_cast<unsigned long long>(in_day);  // 0 <= in_day < one day
  char rest[64];
  std::snprintf(rest, sizeof rest, "-%02u-%02u %02llu:%02llu:%02llu.%03llu", m, d, t / 3'600'000, t / 60'000 % 60,
                t / 1000 % 60, t % 1000);
  return year_text(y) + rest;
}

OJson event_cost(std::string_view model, int64_t input_tokens, int64_t output_tokens) {
  struct Price {
    const char* family;
    double input, output;
  };
  static constexpr Price kPrices[] = {{"haiku", 1, 5}, {"sonnet", 3, 15}, {"opus", 5, 25}};
  const std::string m = to_lower_unicode(model);
  for (const Price& p : kPrices) {
    if (m.find(p.family) == std::string::npos) continue;
    double cost = (static_cast<double>(input_tokens) * p.input + static_cast<double>(output_tokens) * p.output) /
                  1'000'000.0;
    cost = std::round(cost * 1'000'000.0) / 1'000'000.0;
    if (!std::isfinite(cost)) return nullptr;
    return cost;
  }
  return 0.0;
}

AiEventRow build_event_row(const OJson& override_value) { return build_event_row(override_value, host_config().origin); }

AiEventRow build_event_row(const OJson& override_value, const OriginSettings& settings) {
  AiEventRow row = {{"tenant_id", settings.tenant_id},
                    {"user_id", ""},
                    {"event_id", stable_event_id("")},
                    {"ts", format_event_ts(std::nullopt)},
                    {"host", ""},
                    {"os_user", ""},
                    {"session_id", ""},
                    {"agent", ""},
                    {"agent_version", ""},
                    {"model", ""},
                    {"event_type", ""},
                    {"tool_name", ""},
                    {"tool_use_id", ""},
                    {"tool_input", ""},
                    {"text", ""},
                    {"duration_ms", 0},
                    {"input_tokens", 0},
                    {"output_tokens", 0},
                    {"cost_usd", 0},
                    {"is_error", 0}};
  if (override_value.is_object())
    for (const auto& [key, value] : override_value.items()) row[key] = value;
  return row;
}

AiSignalRow build_signal_row(const OJson& context, const std::string& rule, const std::string& severity,
                             const std::string& title, const std::string& detail, const std::string& field) {
  return build_signal_row(context, rule, severity, title, detail, field, host_config().origin);
}

AiSignalRow build_signal_row(const OJson& context, const std::string& rule, const std::string& severity,
                             const std::string& title, const std::string& detail, const std::string& field,
                             const OriginSettings& settings) {
  return AiSignalRow{{"tenant_id", settings.tenant_id},
                     {"user_id", ""},
                     {"signal_id", stable_event_id("")},
                     {"ts", field_or_null(context, "ts")},
                     {"session_id", field_or_null(context, "session_id")},
                     {"event_id", field_or_null(context, "event_id")},
                     {"rule", rule},
                     {"severity", severity.empty() ? std::string("low") : severity},
                     {"title", take_chars(title, 300)},
                     {"detail", take_chars(detail, 4000)},
                     {"field", field},
                     {"match_offset", 0},
                     {"match_len", 0},
                     {"host", field_or_null(context, "host")},
                     {"os_user", field_or_null(context, "os_user")}};
}

void origin_insert(const std::string& table, const std::vector<OJson>& rows) {
  origin_insert(clickhouse_endpoint(), table, rows);
}

void origin_insert(const ClickHouseEndpoint& endpoint, const std::string& table, const std::vector<OJson>& rows) {
  if (rows.empty()) return;
  auto result = clickhouse_insert(endpoint, "origin." + table, rows,
                                  {query_param("date_time_input_format", "best_effort"),
                                   query_param("input_format_skip_unknown_fields", "1")});
  if (!result) {
    std::printf("origin sink: %s insert failed: %s\n", table.c_str(), result.message().c_str());
    std::fflush(stdout);
  }
}

OriginSink origin_sink() { return OriginSink{host_config().origin, clickhouse_endpoint()}; }

}  // namespace drovix::host
