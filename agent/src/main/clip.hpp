#pragma once
// Clipping texts for logs, hook details and status lines.
#include <cstddef>
#include <string>
#include <string_view>

namespace drovix::agent {

// The first n characters (Unicode scalar values) of the text, every control
// character (below U+0020 and U+007F to U+009F) turned into a space, with
// "…" appended when the text was longer than n characters. Invalid UTF-8 is
// read as U+FFFD.
std::string truncate_chars(std::string_view text, size_t n);

}  // namespace drovix::agent
