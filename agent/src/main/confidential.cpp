#include "agent/src/main/confidential.hpp"

namespace drovix::agent {

namespace {

constexpr std::string_view kMarkers[] = {
    "strictly internal", "must not be shared", "do not share", "do-not-share",
    "not be shared externally", "internal-use", "confidential", "internal only",
};

}  // namespace

bool find_confidential_marker(std::string_view lowered) {
  for (std::string_view m : kMarkers) {
    if (lowered.find(m) != std::string_view::npos) return true;
  }
  return false;
}

}  // namespace drovix::agent
