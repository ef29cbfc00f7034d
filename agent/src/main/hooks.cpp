#include "agent/src/main/hooks.hpp"

#include "agent/src/main/clock.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr size_t kDetailChars = 600;

struct HookNames {
  const char* key;
  const char* name;
};
constexpr HookNames kNames[kHookKinds] = {
    {"user_prompt_submit", "UserPromptSubmit"},
    {"pre_api_call", "PreApiCall"},
    {"pre_tool_use", "PreToolUse"},
    {"post_tool_use", "PostToolUse"},
    {"pre_response", "PreResponse"},
};

std::once_flag g_once;
HookState* g_state = nullptr;

HookState& state_with(const SJson* hooks) {
  std::call_once(g_once, [hooks] {
    auto* s = new HookState();  // lives until the process ends
    s->switches = hook_switches_from(hooks);
    g_state = s;
  });
  return *g_state;
}

}  // namespace

const char* hook_switch_key(HookKind hook) { return kNames[static_cast<size_t>(hook)].key; }
const char* hook_name(HookKind hook) { return kNames[static_cast<size_t>(hook)].name; }

std::array<bool, kHookKinds> hook_switches_from(const SJson* hooks) {
  std::array<bool, kHookKinds> sw{true, true, true, true, true};
  if (!hooks || !hooks->is_object()) return sw;
  for (size_t i = 0; i < kHookKinds; ++i) {
    auto it = hooks->find(kNames[i].key);
    if (it != hooks->end() && it->is_boolean()) sw[i] = it->get<bool>();
  }
  return sw;
}

void hook_log_append(HookState& state, HookKind hook, std::string tool, std::string decision,
                     std::string detail) {
  HookEvent ev;
  ev.hook = hook;
  ev.tool = std::move(tool);
  ev.decision = std::move(decision);
  ev.detail = take_chars(detail, kDetailChars);
  std::lock_guard lock(state.mu);
  ev.ts = now_millis();
  state.log.push_back(std::move(ev));
}

std::vector<SJson> hook_log_drain(HookState& state, const std::string& session_id) {
  std::vector<HookEvent> taken;
  {
    std::lock_guard lock(state.mu);
    taken.swap(state.log);
  }
  std::vector<SJson> out;
  out.reserve(taken.size());
  for (auto& ev : taken) {
    SJson rec = SJson::object();
    rec["decision"] = std::move(ev.decision);
    rec["detail"] = std::move(ev.detail);
    rec["hook"] = hook_name(ev.hook);
    rec["session_id"] = session_id;
    rec["tool"] = std::move(ev.tool);
    rec["ts"] = ev.ts;
    out.push_back(std::move(rec));
  }
  return out;
}

HookState& hook_state() { return state_with(nullptr); }

void hook_switches(const SJson* hooks) { state_with(hooks); }

std::string run_policy_hook(HookKind hook, const std::string& tool, const std::string& subject,
                            std::string detail) {
  HookState& s = hook_state();
  if (s.switches[static_cast<size_t>(hook)]) hook_log_append(s, hook, tool, "allow", std::move(detail));
  return "allow";
}

void hook_event_log(HookKind hook, std::string tool, std::string decision, std::string detail) {
  hook_log_append(hook_state(), hook, std::move(tool), std::move(decision), std::move(detail));
}

std::vector<SJson> hook_events_drain(const std::string& session_id) {
  return hook_log_drain(hook_state(), session_id);
}

}  // namespace drovix::agent
