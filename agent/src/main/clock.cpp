#include "agent/src/main/clock.hpp"

#include <chrono>

namespace drovix::agent {

uint64_t now_millis() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::system_clock::now().time_since_epoch())
                .count();
  return ms < 0 ? 0 : static_cast<uint64_t>(ms);
}

}  // namespace drovix::agent
