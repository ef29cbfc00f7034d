#pragma once
// Policy-hook points of a chat turn and the process-wide log of the
// decisions taken at them, emptied into the next telemetry report.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/json.hpp"

namespace drovix::agent {

enum class HookKind { UserPromptSubmit = 0, PreApiCall, PreToolUse, PostToolUse, PreResponse };
inline constexpr size_t kHookKinds = 5;

// The key of the hook's switch in the appliance's "hooks" object
// ("user_prompt_submit", ...).
const char* hook_switch_key(HookKind hook);
// The name the audit record carries ("UserPromptSubmit", ...).
const char* hook_name(HookKind hook);

struct HookEvent {
  HookKind hook = HookKind::UserPromptSubmit;
  std::string tool;
  std::string decision;
  std::string detail;  // at most 600 characters
  uint64_t ts = 0;     // milliseconds since 1970
};

// The five switches (fixed once made) and the log behind its mutex.
struct HookState {
  std::array<bool, kHookKinds> switches{true, true, true, true, true};
  std::mutex mu;
  std::vector<HookEvent> log;
};

// Switches from the appliance's "hooks" value (nullptr when there is none):
// a switch is the value of its key when that is a JSON boolean, on otherwise.
std::array<bool, kHookKinds> hook_switches_from(const SJson* hooks);

// Appends one entry to a log (detail cut to 600 characters, time now).
void hook_log_append(HookState& state, HookKind hook, std::string tool, std::string decision,
                     std::string detail);
// Takes every entry out of the log and turns each, in order, into its audit
// record {decision, detail, hook, session_id, tool, ts}.
std::vector<SJson> hook_log_drain(HookState& state, const std::string& session_id);

// The process-wide hook state: made by the first of hook_switches and the
// hook operations below; never replaced afterwards.
HookState& hook_state();

// Makes the process-wide state from the appliance's "hooks" value; does
// nothing when the state exists already.
void hook_switches(const SJson* hooks);
// Logs "allow" at the hook point when its switch is on; always answers
// "allow". The text the point concerns is not examined.
std::string run_policy_hook(HookKind hook, const std::string& tool, const std::string& subject,
                            std::string detail);
// Appends one entry to the process-wide log.
void hook_event_log(HookKind hook, std::string tool, std::string decision, std::string detail);
std::vector<SJson> hook_events_drain(const std::string& session_id);

}  // namespace drovix::agent
