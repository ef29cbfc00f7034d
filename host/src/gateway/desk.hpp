#pragma once
// Who may use the data lake, as which desk, and the two ways the gateway
// reaches the lake's database: as the desk's own identity, or as the
// host's configured user.
#include <string>

#include "host/src/util/clickhouse.hpp"

namespace drovix::host {

inline constexpr const char* kNotLaunchedWithLake = "This agent was not launched with the Data Lake MCP.";
inline constexpr const char* kNoDeskRole =
    "This agent has no desk role for the data lake; relaunch it from the console.";

// The outcome of the access check. When allowed, session is "vm-<port>"
// and desk one of fx, rates, credit, equities, all; otherwise refusal holds
// the text for the agent (session is "" for an address of no slot).
struct DeskAccess {
  bool allowed = false;
  std::string session;
  std::string desk;
  std::string refusal;
};

// Reads the session registry afresh and checks the calling VM's launch
// permissions: a truthy "mcp" and a known "datalake_desk".
DeskAccess check_datalake_access(const std::string& caller_ip);

// "qelt_desk_<desk>".
std::string desk_user(const std::string& desk);

// The statement as the desk's identity, answered in the given format
// (20 s limit).
ClickHouseResult query_as_desk(const std::string& desk, const std::string& statement, const std::string& format);
// The statement as the configured user, answered as JSONEachRow with
// 64-bit integers written as plain JSON numbers (20 s limit).
ClickHouseResult query_json_rows(const std::string& statement);

}  // namespace drovix::host
