#pragma once
#include <cstdint>

namespace drovix::agent {

// Milliseconds since 1970-01-01 UTC; 0 when the clock reads earlier.
uint64_t now_millis();

}  // namespace drovix::agent
