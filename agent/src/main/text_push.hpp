#pragma once
// Appending parts of a text, counted in characters (Unicode scalar values)
// and never splitting one. The source is read as UTF-8.
#include <cstddef>
#include <string>
#include <string_view>

namespace drovix::agent {

// Appends the first n characters of the source (all of it when shorter).
void push_chars_upto(std::string& target, std::string_view source, size_t n);

// Skips the first `start` characters of the source and appends the next n
// (fewer at its end; nothing when the source is shorter than `start`).
void push_char_range(std::string& target, std::string_view source, size_t start, size_t n);

// Appends characters up to, not including, the first line feed or double
// quote, at most n of them.
void push_chars_until_quote(std::string& target, std::string_view source, size_t n);

}  // namespace drovix::agent
