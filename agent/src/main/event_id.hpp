#pragma once
#include <string>

namespace drovix::agent {

// A fresh identifier in the lowercase 8-4-4-4-12 layout of a version-4 UUID,
// made from the clock (nanoseconds) and a process-wide counter, so that no
// two identifiers made by this process are equal.
std::string new_event_id();

}  // namespace drovix::agent
