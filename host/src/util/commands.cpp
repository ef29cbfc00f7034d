#include "host/src/util/commands.hpp"

namespace drovix::host {

void run_best_effort(const std::vector<std::string>& argv) { (void)run_command(argv, 15); }

void systemctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"systemctl"};
  argv.insert(argv.end(), args.begin(), args.end());
  (void)run_command(argv, 20);
}

}  // namespace drovix::host
