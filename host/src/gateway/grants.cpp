#include "host/src/gateway/grants.hpp"

#include <charconv>
#include <chrono>
#include <cstdio>

#include "host/src/util/tokens.hpp"
#include "host/src/console/policy.hpp"
#include "host/src/gateway/desk.hpp"
#include "host/src/util/clickhouse.hpp"

namespace drovix::host {

namespace {

constexpr const char* kMinutesSql =
    "SELECT scope_value, max(dateDiff('minute', now(), expires)) m FROM datalake.grants "
    "WHERE active=1 AND expires>now() GROUP BY scope_value";
constexpr const char* kSnapshotSql = "SELECT label, scope_value FROM datalake.grants WHERE active=1 AND expires>now()";
constexpr const char* kExportLabel = "sharepoint:export (policy: no grant needed)";

OJson grant_entry(const std::string& label, const std::string& value) {
  OJson scope = OJson::object();
  scope["value"] = value;
  scope["label"] = label;
  OJson entry = OJson::object();
  entry["label"] = label;
  entry["scope"] = OJson::array({scope});
  return entry;
}

}  // namespace

int64_t grant_minutes_value(const OJson* m) {
  if (m == nullptr) return 0;
  if (m->is_number_integer()) {
    if (m->is_number_unsigned()) {
      auto u = m->get<uint64_t>();
      return u > static_cast<uint64_t>(INT64_MAX) ? 0 : static_cast<int64_t>(u);
    }
    return m->get<int64_t>();
  }
  if (m->is_string()) {
    // A server that quotes 64-bit integers in JSON still means a number.
    const std::string& s = m->get_ref<const std::string&>();
    int64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec == std::errc() && end == s.data() + s.size() && !s.empty()) return v;
  }
  return 0;
}

OJson active_grant_minutes() {
  OJson out = OJson::object();
  ClickHouseResult r = query_json_rows(kMinutesSql);
  if (!r.ok()) {
    std::printf("grants query failed: %s\n", r.message().c_str());
    std::fflush(stdout);
    return out;
  }
  for (const OJson& row : parse_json_rows(r.text())) {
    const OJson* m = nullptr;
    if (row.is_object()) {
      auto it = row.find("m");
      if (it != row.end()) m = &*it;
    }
    out[json_get_str(row, "scope_value")] = grant_minutes_value(m);
  }
  return out;
}

bool has_grant(const std::string& table, const OJson& minutes) {
  return minutes.is_object() && (minutes.contains("datalake") || minutes.contains("datalake:" + table));
}

OJson grants_snapshot() {
  OJson grants = OJson::array();
  ClickHouseResult r = query_json_rows(kSnapshotSql);
  if (!r.ok()) {
    std::printf("grants query failed: %s\n", r.message().c_str());
    std::fflush(stdout);
  } else {
    for (const OJson& row : parse_json_rows(r.text()))
      grants.push_back(grant_entry(json_get_str(row, "label"), json_get_str(row, "scope_value")));
  }
  if (!read_policy().export_grant) grants.push_back(grant_entry(kExportLabel, "sharepoint:export"));

  OJson snap = OJson::object();
  snap["generated_at"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  snap["gated"] = OJson::array();
  snap["grants"] = std::move(grants);
  return snap;
}

}  // namespace drovix::host
