#include "host/src/util/clickhouse.hpp"

#include <chrono>
#include <cstdio>

#include "common/encoding.hpp"
#include "common/text.hpp"

namespace drovix::host {

namespace {

constexpr size_t kErrorBodyChars = 300;
constexpr long kInsertTimeoutSeconds = 10;

}  // namespace

QueryParam query_param(std::string_view name, std::string_view value) {
  return QueryParam{std::string(name), std::string(value)};
}

QueryParam query_param_int(std::string_view name, int64_t value) {
  return QueryParam{std::string(name), std::to_string(value)};
}

QueryParam scope_param(std::string_view value) { return QueryParam{"scope", std::string(value)}; }

QueryParam query_param_owned(const char* name, std::string value) {
  return QueryParam{name, std::move(value)};
}

std::string ClickHouseError::message() const {
  if (kind == Kind::Transport) return text;
  return "HTTP Error " + std::to_string(status) + ": " + take_chars(trim_unicode(body), kErrorBodyChars);
}

std::string form_encode(std::string_view text) { return form_urlencode(text); }

ClickHouseEndpoint clickhouse_endpoint() {
  return ClickHouseEndpoint{host_config().clickhouse, clickhouse_agent()};
}

ClickHouseResult clickhouse_post(const ClickHouseEndpoint& endpoint, std::string_view body,
                                 const std::vector<QueryParam>& params,
                                 const std::optional<std::string>& desk_user, long timeout_seconds) {
  const ClickHouseSettings& s = endpoint.settings;
  OutboundRequest req;
  req.method = "POST";
  req.url = s.url;
  if (!params.empty()) {
    req.url += '?';
    for (size_t i = 0; i < params.size(); ++i) {
      if (i) req.url += '&';
      req.url += form_encode(params[i].name);
      req.url += '=';
      req.url += form_encode(params[i].value);
    }
  }
  const std::string& user = desk_user ? *desk_user : s.user;
  const std::string& key = desk_user ? s.desk_password : s.password;
  if (!user.empty()) req.headers.emplace_back("X-ClickHouse-User", user);
  if (!key.empty()) req.headers.emplace_back("X-ClickHouse-Key", key);
  req.body = std::string(body);
  req.timeout = std::chrono::seconds(timeout_seconds);

  Result<HttpOutcome> outcome = read_http_outcome(endpoint.client.send(req));
  if (!outcome.ok()) {
    ClickHouseError e;
    e.kind = ClickHouseError::Kind::Transport;
    e.text = outcome.message();
    return e;
  }
  if (outcome->status >= 400) {
    ClickHouseError e;
    e.kind = ClickHouseError::Kind::Status;
    e.status = outcome->status;
    e.body = std::move(outcome->text);
    return e;
  }
  return std::move(outcome->text);
}

ClickHouseResult clickhouse_post(std::string_view body, const std::vector<QueryParam>& params,
                                 const std::optional<std::string>& desk_user, long timeout_seconds) {
  return clickhouse_post(clickhouse_endpoint(), body, params, desk_user, timeout_seconds);
}

ClickHouseResult clickhouse_insert(const ClickHouseEndpoint& endpoint, const std::string& table,
                                   const std::vector<OJson>& rows, const std::vector<QueryParam>& settings) {
  if (rows.empty()) return std::string();
  std::vector<QueryParam> params;
  params.reserve(settings.size() + 1);
  params.push_back(query_param_owned("query", "INSERT INTO " + table + " FORMAT JSONEachRow"));
  params.insert(params.end(), settings.begin(), settings.end());
  std::string body;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i) body += '\n';
    body += to_compact(rows[i]);
  }
  ClickHouseResult r = clickhouse_post(endpoint, body, params, std::nullopt, kInsertTimeoutSeconds);
  if (!r.ok()) return r;
  return std::string();
}

ClickHouseResult clickhouse_insert(const std::string& table, const std::vector<OJson>& rows,
                                   const std::vector<QueryParam>& settings) {
  if (rows.empty()) return std::string();
  return clickhouse_insert(clickhouse_endpoint(), table, rows, settings);
}

std::vector<OJson> parse_json_rows(std::string_view text) {
  std::vector<OJson> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (trim_ascii(line).empty()) continue;
    if (auto v = parse_json<OJson>(line)) out.push_back(std::move(*v));
  }
  return out;
}

AuditRow audit_row(std::string_view session_id, std::string_view event_id, std::string_view kind,
                   std::string_view rule, std::string_view severity, std::string_view tool,
                   std::string_view text, std::string_view host, std::string_view os_user) {
  AuditRow row = OJson::object();
  row["session_id"] = std::string(session_id);
  row["event_id"] = std::string(event_id);
  row["kind"] = std::string(kind);
  row["rule"] = std::string(rule);
  row["severity"] = std::string(severity);
  row["tool"] = std::string(tool);
  row["text"] = std::string(text);
  row["host"] = std::string(host);
  row["os_user"] = std::string(os_user);
  return row;
}

void insert_audit_rows(const ClickHouseEndpoint& endpoint, const std::vector<AuditRow>& rows,
                       std::string_view source) {
  ClickHouseResult r = clickhouse_insert(endpoint, "datalake.ai_audit", rows, {});
  if (r.ok()) return;
  std::string line = "[" + std::string(source) + "] audit insert failed: " + r.error().message() + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void insert_audit_rows(const std::vector<AuditRow>& rows, std::string_view source) {
  if (rows.empty()) return;
  insert_audit_rows(clickhouse_endpoint(), rows, source);
}

}  // namespace drovix::host
