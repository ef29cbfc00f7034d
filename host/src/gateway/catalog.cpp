#include "host/src/gateway/catalog.hpp"

#include <map>
#include <vector>

#include "common/text.hpp"
#include "host/src/util/tokens.hpp"
#include "host/src/gateway/audit.hpp"
#include "host/src/gateway/desk.hpp"
#include "host/src/gateway/grants.hpp"
#include "host/src/util/clickhouse.hpp"

namespace drovix::host {

namespace {

constexpr const char* kColumnsSql =
    "SELECT table, name, type FROM system.columns WHERE database='datalake' AND table IN "
    "('trade_blotter','comms_surveillance') ORDER BY table, position";

const std::array<LakeTable, 2> kCatalog = {{
    {"trade_blotter",
     "Trades by desk: trader, symbol, side, qty, price, notional (USD), counterparty, and status (FILLED / PARTIAL "
     "/ FAILED / PENDING).",
     {"What is our total notional exposure by counterparty?",
      "Which trades are not FILLED, and how much notional is stuck?",
      "Show this week's largest trades with trader and counterparty."}},
    {"comms_surveillance",
     "Communications captured for surveillance: channel, desk, sender, recipient, a flagged marker, a 0-100 risk "
     "score and a one-line summary.",
     {"List flagged communications with risk above 60, highest first.",
      "Which senders have more than one flagged message?",
      "Summarise the policy concern behind each flagged Chat message."}},
}};

std::string join(const std::vector<std::string>& items, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += sep;
    out += items[i];
  }
  return out;
}

// A whole number of minutes as text; 0 for anything else.
std::string minutes_text(const OJson& minutes, const std::string& table) {
  std::string scope = minutes.contains("datalake") ? "datalake" : "datalake:" + table;
  auto it = minutes.find(scope);
  if (it != minutes.end() && it->is_number_integer()) return it->dump();
  return "0";
}

const LakeTable* find_table(std::string_view name) {
  for (const LakeTable& t : kCatalog)
    if (t.name == name) return &t;
  return nullptr;
}

}  // namespace

const std::array<LakeTable, 2>& lake_catalog() { return kCatalog; }

std::string desk_label(const std::string& desk) {
  if (desk == "all") return "All desks";
  if (desk == "fx") return "FX";
  std::string label = desk;
  if (!label.empty() && label[0] >= 'a' && label[0] <= 'z') label[0] = static_cast<char>(label[0] - 'a' + 'A');
  return label;
}

McpToolOutput describe_datalake_tables(const std::string& caller_ip) {
  DeskAccess access = check_datalake_access(caller_ip);
  if (!access.allowed) return {access.refusal, true};
  OJson minutes = active_grant_minutes();

  std::vector<std::string> lines;
  std::string note = access.desk == "all" ? "" : " (the database returns only this desk's rows)";
  lines.push_back("Data Lake MCP \u00b7 desk role: " + desk_label(access.desk) + note);
  lines.emplace_back();

  ClickHouseResult cols = query_json_rows(kColumnsSql);
  if (!cols.ok()) return {"schema error: " + cols.message(), true};
  std::map<std::string, std::vector<std::string>> columns;
  bool any = false;
  for (const OJson& row : parse_json_rows(cols.text())) {
    columns[json_get_str(row, "table")].push_back(json_get_str(row, "name") + " " + json_get_str(row, "type"));
    any = true;
  }

  for (const LakeTable& t : kCatalog) {
    auto it = columns.find(std::string(t.name));
    if (it == columns.end() || it->second.empty()) continue;
    std::string status;
    if (has_grant(std::string(t.name), minutes)) {
      std::string count = "?";
      ClickHouseResult c = query_as_desk(access.desk, "SELECT count() FROM datalake." + std::string(t.name), "TabSeparated");
      if (c.ok()) count = trim_unicode(c.text());
      status = "access granted, " + minutes_text(minutes, std::string(t.name)) + " min left \u00b7 " + count +
               " rows visible";
    } else {
      status = "NO ACCESS: an admin must grant it in the Vuviv Avivu Rozoziv";
    }
    lines.push_back("datalake." + std::string(t.name) + " \u2014 " + status);
    lines.push_back("  " + std::string(t.description));
    lines.push_back("  columns: " + join(it->second, ", "));
    lines.push_back("  try: " + join({std::string(t.examples[0]), std::string(t.examples[1]), std::string(t.examples[2])},
                                     " | "));
    lines.emplace_back();
  }
  if (!any) lines.emplace_back("The data lake is empty: an admin can load the demo data from the console.");
  lines.emplace_back("Query with datalake_query: one read-only SELECT; results are capped at 200 rows.");
  write_gateway_audit("datalake_query", "datalake_tables", "", "", "[desk=" + access.desk + "] catalog",
                      access.session);
  return {join(lines, "\n"), false};
}

McpToolOutput describe_datalake_table(const std::string& table, const std::string& caller_ip) {
  DeskAccess access = check_datalake_access(caller_ip);
  if (!access.allowed) return {access.refusal, true};

  size_t dot = table.rfind('.');
  std::string name = trim_unicode(dot == std::string::npos ? table : table.substr(dot + 1));
  const LakeTable* t = find_table(name);
  if (t == nullptr) return {"Unknown table. Tables: trade_blotter, comms_surveillance", true};

  OJson minutes = active_grant_minutes();
  if (!has_grant(name, minutes)) {
    write_gateway_audit("blocked", "datalake_describe", "ungranted_access", "high",
                        "BLOCKED (no active grant for " + name + ") [desk=" + access.desk + "]", access.session);
    return {"BLOCKED: no active grant for datalake." + name + ". An admin must grant access first.", true};
  }

  ClickHouseResult desc = query_as_desk(access.desk, "DESCRIBE TABLE datalake." + name, "TabSeparated");
  if (!desc.ok()) return {"describe error: " + desc.message(), true};
  std::vector<std::string> column_lines;
  std::string_view text = desc.text();
  for (size_t pos = 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    std::string_view line = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos) continue;
    size_t tab2 = line.find('\t', tab + 1);
    std::string_view type = line.substr(tab + 1, tab2 == std::string_view::npos ? std::string_view::npos : tab2 - tab - 1);
    column_lines.push_back(std::string(line.substr(0, tab)) + " " + std::string(type));
  }

  ClickHouseResult latest =
      query_as_desk(access.desk, "SELECT * FROM datalake." + name + " ORDER BY ts DESC LIMIT 5", "TabSeparatedWithNames");
  if (!latest.ok()) return {"describe error: " + latest.message(), true};

  write_gateway_audit("datalake_query", "datalake_describe", "", "", "[desk=" + access.desk + "] describe " + name,
                      access.session);
  return {"datalake." + name + ": " + std::string(t->description) + "\ncolumns:\n" + join(column_lines, "\n") +
              "\n\nlatest 5 rows:\n" + latest.text(),
          false};
}

}  // namespace drovix::host
