#pragma once
// The SharePoint state itself, for the renewal that updates it. Hold the
// mutex only to copy or change the record, never across a network call.
#include <mutex>

#include "host/src/sp/sharepoint.hpp"

namespace drovix::host {

std::mutex& sharepoint_state_mutex();
SharePointState& sharepoint_state_ref();

}  // namespace drovix::host
