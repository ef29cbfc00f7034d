#include "agent/src/main/clip.hpp"

#include <unicode/utf8.h>

namespace drovix::agent {

std::string truncate_chars(std::string_view text, size_t n) {
  std::string out;
  out.reserve(text.size() < n * 4 ? text.size() : n * 4);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  int32_t len = static_cast<int32_t>(text.size());
  int32_t i = 0;
  size_t taken = 0;
  while (i < len) {
    if (taken == n) {
      out += "\u2026";
      return out;
    }
    int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, len, c);
    if (c < 0) {
      out += "\uFFFD";
    } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      out += ' ';
    } else {
      out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
    }
    ++taken;
  }
  return out;
}

}  // namespace drovix::agent
