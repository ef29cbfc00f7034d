#pragma once
// The host's one way into ClickHouse: POSTs to its HTTP interface, JSON row
// inserts, JSONEachRow output and the audit rows of datalake.ai_audit.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/json.hpp"
#include "host/src/http/outbound.hpp"
#include "host/src/main/config.hpp"

namespace drovix::host {

// One field of the request URL's query string.
struct QueryParam {
  std::string name;
  std::string value;
};

QueryParam query_param(std::string_view name, std::string_view value);
QueryParam query_param_int(std::string_view name, int64_t value);
QueryParam scope_param(std::string_view value);
// name is a fixed name ("query", "label"); value is taken over.
QueryParam query_param_owned(const char* name, std::string value);

struct ClickHouseError {
  enum class Kind { Status, Transport };
  Kind kind = Kind::Transport;
  uint16_t status = 0;  // Status: the reply's status
  std::string body;     // Status: the reply body as text
  std::string text;     // Transport: the HTTP client's description

  // "HTTP Error {status}: {body trimmed, first 300 characters}" or the
  // transport text.
  std::string message() const;
};

// Either the reply body as text or the failure.
class [[nodiscard]] ClickHouseResult {
 public:
  ClickHouseResult(std::string text) : v_(std::move(text)) {}
  ClickHouseResult(ClickHouseError error) : v_(std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  const std::string& text() const { return std::get<0>(v_); }
  const ClickHouseError& error() const { return std::get<1>(v_); }
  std::string message() const { return ok() ? std::string() : error().message(); }

 private:
  std::variant<std::string, ClickHouseError> v_;
};

// Where requests go and through which client. The configured one is the
// host configuration's ClickHouse settings with clickhouse_agent().
struct ClickHouseEndpoint {
  const ClickHouseSettings& settings;
  const HttpClient& client;
};
ClickHouseEndpoint clickhouse_endpoint();

// POSTs body to the ClickHouse url with params as its query string, as the
// desk user (with desk_password) when one is given, else as the configured
// user; the whole exchange bounded by timeout_seconds.
ClickHouseResult clickhouse_post(std::string_view body, const std::vector<QueryParam>& params,
                                 const std::optional<std::string>& desk_user, long timeout_seconds);
ClickHouseResult clickhouse_post(const ClickHouseEndpoint& endpoint, std::string_view body,
                                 const std::vector<QueryParam>& params,
                                 const std::optional<std::string>& desk_user, long timeout_seconds);

// Inserts rows as JSONEachRow; no rows succeeds without a request. A
// successful result carries no text.
ClickHouseResult clickhouse_insert(const std::string& table, const std::vector<OJson>& rows,
                                   const std::vector<QueryParam>& settings);
ClickHouseResult clickhouse_insert(const ClickHouseEndpoint& endpoint, const std::string& table,
                                   const std::vector<OJson>& rows, const std::vector<QueryParam>& settings);

// One JSON value per non-blank line; lines that do not parse are skipped.
std::vector<OJson> parse_json_rows(std::string_view text);

// One row of datalake.ai_audit: an object of nine strings in column order.
using AuditRow = OJson;

AuditRow audit_row(std::string_view session_id, std::string_view event_id, std::string_view kind,
                   std::string_view rule, std::string_view severity, std::string_view tool,
                   std::string_view text, std::string_view host, std::string_view os_user);

// Best effort: a failed insert costs one line on standard output, naming
// source ("console", "gateway"); the rows are dropped.
void insert_audit_rows(const std::vector<AuditRow>& rows, std::string_view source);
void insert_audit_rows(const ClickHouseEndpoint& endpoint, const std::vector<AuditRow>& rows,
                       std::string_view source);

// application/x-www-form-urlencoded: letters, digits and "*-._" as they are,
// a blank as "+", every other byte as %XX.
std::string form_encode(std::string_view text);

}  // namespace drovix::host
