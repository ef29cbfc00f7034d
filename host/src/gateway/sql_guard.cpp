#include "host/src/gateway/sql_guard.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>

#include "common/text.hpp"
#include "host/src/gateway/audit.hpp"
#include "host/src/gateway/catalog.hpp"
#include "host/src/gateway/desk.hpp"
#include "host/src/gateway/grants.hpp"
#include "host/src/gateway/taint.hpp"

namespace drovix::host {

namespace {

constexpr std::array<std::string_view, 6> kReadOnlyStarts = {"select", "with", "show", "describe", "desc", "explain"};
constexpr std::array<std::string_view, 15> kForbidden = {
    "drop",   "kill",   "alter",  "grant",  "insert", "create", "attach",   "detach",
    "rename", "revoke", "system", "delete", "update", "truncate", "optimize"};
constexpr size_t kErrorChars = 300;

bool run_char(char c) { return (c >= 'a' && c <= 'z') || c == '_'; }

// A word character in the Unicode sense: alphabetic, a mark, a decimal
// digit, connector punctuation or a joiner.
bool word_char(UChar32 c) {
  if (c < 0) return false;
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || u_hasBinaryProperty(c, UCHAR_JOIN_CONTROL)) return true;
  int8_t t = u_charType(c);
  return t == U_NON_SPACING_MARK || t == U_ENCLOSING_MARK || t == U_COMBINING_SPACING_MARK ||
         t == U_DECIMAL_DIGIT_NUMBER || t == U_CONNECTOR_PUNCTUATION;
}

UChar32 char_before(std::string_view s, size_t at) {
  if (at == 0) return -1;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t i = static_cast<int32_t>(at);
  UChar32 c;
  U8_PREV(p, 0, i, c);
  return c;
}

UChar32 char_at(std::string_view s, size_t at) {
  if (at >= s.size()) return -1;
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t i = static_cast<int32_t>(at);
  UChar32 c;
  U8_NEXT(p, i, static_cast<int32_t>(s.size()), c);
  return c;
}

bool mentions_word(std::string_view text, std::string_view name) {
  for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
    if (!word_char(char_before(text, at)) && !word_char(char_at(text, at + name.size()))) return true;
  }
  return false;
}

std::string join(const std::vector<std::string>& items, const std::string& prefix) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += prefix + items[i];
  }
  return out;
}

std::string trim_semicolons(std::string s) {
  s = trim_unicode(s);
  while (!s.empty() && s.back() == ';') s.pop_back();
  return trim_unicode(s);
}

}  // namespace

bool is_forbidden_word(std::string_view run) {
  for (std::string_view w : kForbidden)
    if (run == w) return true;
  return false;
}

GuardedStatement guard_statement(std::string_view sql) {
  GuardedStatement g;
  g.statement = trim_semicolons(std::string(sql));
  g.lowered = to_lower_unicode(g.statement);
  bool read_only = false;
  for (std::string_view start : kReadOnlyStarts)
    if (starts_with(g.lowered, start)) read_only = true;
  if (!read_only) {
    g.refusal = kNotReadOnly;
    return g;
  }
  if (g.statement.find(';') != std::string::npos) {
    g.refusal = kNotSingle;
    return g;
  }
  const std::string& l = g.lowered;
  for (size_t i = 0; i < l.size();) {
    if (!run_char(l[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < l.size() && run_char(l[j])) ++j;
    if (is_forbidden_word(std::string_view(l).substr(i, j - i))) {
      g.refusal = kForbiddenWord;
      return g;
    }
    i = j;
  }
  return g;
}

std::vector<std::string> mentioned_lake_tables(std::string_view lowered) {
  std::vector<std::string> out;
  for (const LakeTable& t : lake_catalog())
    if (mentions_word(lowered, t.name)) out.emplace_back(t.name);
  return out;
}

McpToolOutput run_datalake_query(const std::string& sql, const std::string& caller_ip) {
  DeskAccess access = check_datalake_access(caller_ip);
  if (!access.allowed) return {access.refusal, true};

  GuardedStatement g = guard_statement(sql);
  if (g.refusal) return {*g.refusal, true};

  OJson minutes = active_grant_minutes();
  std::vector<std::string> uncovered;
  for (const std::string& table : mentioned_lake_tables(g.lowered))
    if (!has_grant(table, minutes)) uncovered.push_back(table);
  if (!uncovered.empty()) {
    write_gateway_audit("blocked", "datalake_query", "ungranted_access", "high",
                        "BLOCKED (no active grant for " + join(uncovered, "") + ") [desk=" + access.desk +
                            "]: " + g.statement,
                        access.session);
    return {"BLOCKED: no active grant for " + join(uncovered, "datalake.") +
                ". An admin must grant access in the Vuviv Avivu Rozoziv first.",
            true};
  }

  ClickHouseResult r = query_as_desk(access.desk, g.statement, "TabSeparatedWithNames");
  if (r.ok()) {
    write_gateway_audit("datalake_query", "datalake_query", "", "", "[desk=" + access.desk + "] " + g.statement,
                        access.session);
    record_taint(caller_ip, r.text());
    if (trim_unicode(r.text()).empty()) return {"(no rows)", false};
    return {r.text(), false};
  }
  const ClickHouseError& e = r.error();
  if (e.kind == ClickHouseError::Kind::Transport) return {"query error: " + e.text, true};
  std::string message = take_chars(e.body, kErrorChars);
  if (message.find("ACCESS_DENIED") != std::string::npos) {
    write_gateway_audit("blocked", "datalake_query", "denied_by_database", "high",
                        "BLOCKED by ClickHouse [desk=" + access.desk + "]: " + g.statement + " :: " + message,
                        access.session);
  } else {
    write_gateway_audit("datalake_query", "datalake_query", "", "",
                        "ERROR [desk=" + access.desk + "]: " + g.statement + " :: " + message, access.session);
  }
  return {"query error: " + message, true};
}

}  // namespace drovix::host
