#include "agent/src/main/console_line.hpp"

#include <cstdio>
#include <string>

namespace drovix::agent {

void console_line(std::string_view line) {
  std::string text(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace drovix::agent
