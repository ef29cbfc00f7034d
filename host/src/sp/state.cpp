#include <mutex>

#include "host/src/sp/sharepoint.hpp"
#include "host/src/sp/state_lock.hpp"

namespace drovix::host {

std::mutex& sharepoint_state_mutex() {
  static std::mutex m;
  return m;
}

SharePointState& sharepoint_state_ref() {
  static SharePointState* state = new SharePointState();  // lives as long as the process
  return *state;
}

SharePointState sharepoint_state() {
  std::lock_guard lock(sharepoint_state_mutex());
  return sharepoint_state_ref();
}

void reset_sharepoint_state() {
  std::lock_guard lock(sharepoint_state_mutex());
  sharepoint_state_ref() = SharePointState{};
}

std::string sharepoint_drive_path() {
  std::string id = sharepoint_state().drive_id;
  return id.empty() ? std::string() : "/v1.0/drives/" + id;
}

}  // namespace drovix::host
