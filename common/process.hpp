#pragma once
// Running system commands as argument vectors, without a shell.
#include <optional>
#include <string>
#include <vector>

namespace drovix {

struct CommandOutput {
  int status = -1;  // wait status; exactly 0 is success
  std::string stdout_bytes;
  std::string stderr_bytes;
};

// Starts argv[0] (looked up on PATH when it has no slash) with standard
// input on /dev/null and both output streams captured while it runs. After
// timeout_s whole seconds the process is killed and nothing is returned;
// nothing too when it cannot be started.
std::optional<CommandOutput> run_command(const std::vector<std::string>& argv, int timeout_s);

}  // namespace drovix
