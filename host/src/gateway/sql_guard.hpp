#pragma once
// The data-lake query tool: one read-only statement, every lake table it
// names covered by a live grant, run as the calling VM's desk identity,
// audited, and its answer recorded as taint.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/src/gateway/mcp_types.hpp"

namespace drovix::host {

inline constexpr const char* kNotReadOnly =
    "Only read-only queries are allowed (SELECT / WITH / SHOW / DESCRIBE / EXPLAIN).";
inline constexpr const char* kNotSingle = "Only a single statement is allowed.";
inline constexpr const char* kForbiddenWord =
    "Query contains a forbidden write/admin keyword; this connector is read-only.";

// The textual checks of one statement, before any grant is looked at.
struct GuardedStatement {
  std::string statement;  // trimmed, trailing ";" removed, case kept
  std::string lowered;    // the statement lower-cased
  std::optional<std::string> refusal;
};
GuardedStatement guard_statement(std::string_view sql);

// Whether a run of [a-z_] letters is one of the write/admin words.
bool is_forbidden_word(std::string_view run);

// The catalog tables named as whole words in the lower-cased statement, in
// catalog order.
std::vector<std::string> mentioned_lake_tables(std::string_view lowered);

McpToolOutput run_datalake_query(const std::string& sql, const std::string& caller_ip);

}  // namespace drovix::host
