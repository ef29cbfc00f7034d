#pragma once
// The fixed catalog of lake tables that agents may query, and the two tools
// that show it: the catalog with each table's grant state, and one table's
// columns with its latest rows.
#include <array>
#include <string>
#include <string_view>

#include "host/src/gateway/mcp_types.hpp"

namespace drovix::host {

struct LakeTable {
  std::string_view name;
  std::string_view description;
  std::array<std::string_view, 3> examples;
};

// trade_blotter, then comms_surveillance.
const std::array<LakeTable, 2>& lake_catalog();

// "All desks", "FX", or the desk with its first letter upper-cased.
std::string desk_label(const std::string& desk);

McpToolOutput describe_datalake_tables(const std::string& caller_ip);
McpToolOutput describe_datalake_table(const std::string& table, const std::string& caller_ip);

}  // namespace drovix::host
