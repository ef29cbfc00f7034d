#include "host/src/gateway/desk.hpp"

#include "host/src/console/network.hpp"
#include "host/src/console/registry.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

constexpr long kQueryTimeoutSeconds = 20;

bool known_desk(const std::string& desk) {
  return desk == "fx" || desk == "rates" || desk == "credit" || desk == "equities" || desk == "all";
}

}  // namespace

DeskAccess check_datalake_access(const std::string& caller_ip) {
  DeskAccess out;
  uint16_t port = vm_port_from_ip(caller_ip);
  OJson record = OJson::object();
  if (port != 0) {
    out.session = "vm-" + std::to_string(port);
    std::optional<OJson> table = read_json_file(sessions_json_path());
    if (table && table->is_object()) record = session_by_port(*table, port);
  }
  auto perms_it = record.find("perms");
  OJson perms = perms_it != record.end() && perms_it->is_object() ? *perms_it : OJson::object();
  std::string desk = json_get_str(perms, "datalake_desk");
  if (!json_flag(perms, "mcp")) {
    out.refusal = kNotLaunchedWithLake;
    return out;
  }
  if (!known_desk(desk)) {
    out.refusal = kNoDeskRole;
    return out;
  }
  out.allowed = true;
  out.desk = desk;
  return out;
}

std::string desk_user(const std::string& desk) { return "qelt_desk_" + desk; }

ClickHouseResult query_as_desk(const std::string& desk, const std::string& statement, const std::string& format) {
  return clickhouse_post(statement, {query_param("default_format", format)}, desk_user(desk), kQueryTimeoutSeconds);
}

ClickHouseResult query_json_rows(const std::string& statement) {
  // ClickHouse quotes 64-bit integers in JSON output by default; the grant
  // minutes must arrive as numbers.
  return clickhouse_post(statement,
                         {query_param("default_format", "JSONEachRow"),
                          query_param("output_format_json_quote_64bit_integers", "0")},
                         std::nullopt, kQueryTimeoutSeconds);
}

}  // namespace drovix::host
