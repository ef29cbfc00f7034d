// Feeds arbitrary text to the data-lake SQL guard's textual checks and to
// the lake-table lookup, checking that a statement that passes never holds
// a semicolon and never starts with anything but a read-only word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/text.hpp"
#include "host/src/gateway/sql_guard.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The guard receives texts of JSON documents, which are valid UTF-8.
  std::string sql = drovix::utf8_lossy(std::string(reinterpret_cast<const char*>(data), size));
  drovix::host::GuardedStatement g = drovix::host::guard_statement(sql);
  (void)drovix::host::mentioned_lake_tables(g.lowered);
  if (!g.refusal) {
    if (g.statement.find(';') != std::string::npos) std::abort();
    bool read_only = false;
    for (const char* w : {"select", "with", "show", "describe", "desc", "explain"})
      if (drovix::starts_with(g.lowered, w)) read_only = true;
    if (!read_only) std::abort();
  }
  return 0;
}
