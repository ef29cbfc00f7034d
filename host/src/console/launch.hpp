#pragma once
// A session launch from the console or a parent agent: the checks, the
// slot taken under the launch lock, provisioning, the registry record, the
// readiness wait (console launches) and the audit signals.
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

#include "common/json.hpp"
#include "host/src/console/launch_checks.hpp"

namespace drovix::host {

// Serialises the pool check, the slot choice, provisioning and the registry
// write of every launch. Taken before sessions_mutex(), after a sub-agent
// launch's own lock.
std::mutex& launch_lock();

// {"url", "port", "ready"} (and "name" for a sub-agent), or {"error": text}.
// A console launch returns after the agent reports "WEB LISTENING" or about
// 40 s without it; a sub-agent launch right after its record is written.
OJson launch_session(const OJson& request, const std::string& user, const std::optional<SubAgentLaunch>& sub,
                     const std::optional<OJson>& handoff);

// The appliance configuration a launch hands the VM.
OJson build_launch_options(const LaunchSettings& s, const std::optional<SubAgentLaunch>& sub);
// The record's "perms" object.
OJson build_session_perms(const LaunchSettings& s);
// The "session_launched" audit text.
std::string launched_text(uint16_t port, const std::string& user, const LaunchSettings& s,
                          const std::optional<SubAgentLaunch>& sub);

// Whether the agent's log says its web server is up.
bool is_web_listening(const std::string& log);
// Reads the log up to `attempts` times, pausing after every miss; true as
// soon as it shows "WEB LISTENING".
bool wait_for_ready(const std::string& log_path, int attempts, std::chrono::milliseconds pause);
// How many values of the object are truthy.
int count_truthy(const OJson& object);

}  // namespace drovix::host
