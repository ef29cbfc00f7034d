#pragma once
// Text patterns compiled once per process and shared by all threads.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <re2/re2.h>

namespace drovix::host {

// One match: where it lies and its capture groups (groups[0] is the whole
// match; a group that took no part is nothing).
struct PatternMatch {
  size_t start = 0;
  size_t end = 0;
  std::vector<std::optional<std::string>> groups;
};

// A compiled pattern with look-around (PCRE2, UTF-8 with Unicode classes).
class LookaroundPattern {
 public:
  explicit LookaroundPattern(const char* pattern);
  ~LookaroundPattern();
  LookaroundPattern(const LookaroundPattern&) = delete;
  LookaroundPattern& operator=(const LookaroundPattern&) = delete;

  // Every match, left to right, not overlapping.
  std::vector<PatternMatch> find_all(std::string_view subject) const;

 private:
  void* code_ = nullptr;  // pcre2_code_8
};

// A figure in a text: optional "$", digits with optional thousands commas,
// optional decimals and an optional unit; groups 1 integer, 2 decimals,
// 3 unit. Case-insensitive.
const LookaroundPattern& figure_regex();
const re2::RE2& path_chars_regex();  // runs of word characters and . / : -
const re2::RE2& model_id_regex();    // a whole model identifier
const re2::RE2& region_regex();      // a whole cloud region name
const re2::RE2& sql_word_regex();    // runs of a-z and _

}  // namespace drovix::host
