#pragma once
#include <string_view>

namespace drovix::agent {

// Writes one line (a newline is added) to standard output, the VM console,
// in one piece and flushed at once, so lines from different threads never
// mix and the host sees each line as soon as it is written.
void console_line(std::string_view line);

}  // namespace drovix::agent
