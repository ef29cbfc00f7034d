#include "agent/src/main/text_push.hpp"

namespace drovix::agent {

namespace {

bool is_lead(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

// Byte offset just past the first n characters of s, starting at byte from.
size_t advance_chars(std::string_view s, size_t from, size_t n) {
  size_t i = from;
  size_t seen = 0;
  while (i < s.size()) {
    if (is_lead(s[i])) {
      if (seen == n) return i;
      ++seen;
    }
    ++i;
  }
  return s.size();
}

}  // namespace

void push_chars_upto(std::string& target, std::string_view source, size_t n) {
  target.append(source.substr(0, advance_chars(source, 0, n)));
}

void push_char_range(std::string& target, std::string_view source, size_t start, size_t n) {
  size_t from = advance_chars(source, 0, start);
  size_t to = advance_chars(source, from, n);
  target.append(source.substr(from, to - from));
}

void push_chars_until_quote(std::string& target, std::string_view source, size_t n) {
  size_t end = source.find_first_of("\n\"");
  if (end == std::string_view::npos) end = source.size();
  push_chars_upto(target, source.substr(0, end), n);
}

}  // namespace drovix::agent
