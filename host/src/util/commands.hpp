#pragma once
// System commands as the host runs them.
#include <optional>
#include <string>
#include <vector>

#include "common/process.hpp"

namespace drovix::host {

using drovix::CommandOutput;
using drovix::run_command;

// run_command with a 15 s time-out; the outcome is ignored.
void run_best_effort(const std::vector<std::string>& argv);
// "systemctl" with the arguments, 20 s time-out; the outcome is ignored.
void systemctl(const std::vector<std::string>& args);

}  // namespace drovix::host
