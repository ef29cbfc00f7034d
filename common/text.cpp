#include "common/text.hpp"

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>
#include <unicode/locid.h>

namespace drovix {

namespace {

// Decodes one code point at i; returns false for an invalid sequence and
// sets len to the number of bytes to skip.
bool decode_at(std::string_view s, size_t i, UChar32& cp, size_t& len) {
  int32_t idx = static_cast<int32_t>(i);
  int32_t n = static_cast<int32_t>(s.size());
  UChar32 c;
  U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), idx, n, c);
  len = static_cast<size_t>(idx) - i;
  if (c < 0) return false;
  cp = c;
  return true;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    UChar32 cp;
    size_t len;
    if (decode_at(bytes, i, cp, len)) {
      out.append(bytes.substr(i, len));
    } else {
      out.append("\xEF\xBF\xBD");
    }
    i += len == 0 ? 1 : len;
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    UChar32 cp;
    size_t len;
    if (!decode_at(bytes, i, cp, len)) return false;
    i += len;
  }
  return true;
}

std::string trim_unicode(std::string_view s) {
  size_t start = 0;
  while (start < s.size()) {
    UChar32 cp;
    size_t len;
    if (!decode_at(s, start, cp, len) || !u_hasBinaryProperty(cp, UCHAR_WHITE_SPACE)) break;
    start += len;
  }
  size_t end = s.size();
  while (end > start) {
    // Step back to the start of the previous character.
    size_t b = end - 1;
    while (b > start && (static_cast<unsigned char>(s[b]) & 0xC0) == 0x80) --b;
    UChar32 cp;
    size_t len;
    if (!decode_at(s, b, cp, len) || b + len != end || !u_hasBinaryProperty(cp, UCHAR_WHITE_SPACE)) break;
    end = b;
  }
  return std::string(s.substr(start, end - start));
}

std::string_view trim_ascii(std::string_view s) {
  auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}

size_t char_count(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string take_chars(std::string_view s, size_t n) {
  size_t count = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (count == n) return std::string(s.substr(0, i));
      ++count;
    }
  }
  return std::string(s);
}

std::string to_lower_unicode(std::string_view s) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  u.toLower(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::string to_lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool iequals_ascii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace drovix
