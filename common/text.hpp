#pragma once
// Text helpers over UTF-8. Character counts are Unicode scalar values.
#include <cstddef>
#include <string>
#include <string_view>

namespace drovix {

// Decodes bytes as UTF-8, replacing every invalid sequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

// Trims Unicode White_Space at both ends (the input must be valid UTF-8;
// invalid bytes are never trimmed).
std::string trim_unicode(std::string_view s);
// Trims ASCII white space (space, tab, CR, LF, VT, FF).
std::string_view trim_ascii(std::string_view s);

// Number of characters in valid UTF-8 text.
size_t char_count(std::string_view s);
// The first n characters, never splitting one.
std::string take_chars(std::string_view s, size_t n);

// Full Unicode lower-casing (ICU, root locale).
std::string to_lower_unicode(std::string_view s);
// ASCII-only lower-casing.
std::string to_lower_ascii(std::string_view s);
bool iequals_ascii(std::string_view a, std::string_view b);
bool starts_with(std::string_view s, std::string_view prefix);
bool ends_with(std::string_view s, std::string_view suffix);

}  // namespace drovix
