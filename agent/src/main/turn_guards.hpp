#pragma once
// The audit of a tool-using turn. Nothing is blocked here: the save tools
// refuse marked files without the export grant and the keyring refuses
// outbound secrets; the guards recognise those outcomes, and the other
// events worth a record, and raise compliance signals for the turn.
#include <string>
#include <string_view>
#include <vector>

#include "agent/src/main/telemetry.hpp"
#include "common/json.hpp"

namespace drovix::agent {

// One tool call that ran: its name, the input it ran with, the reply text
// (a picture already taken out) and whether it failed.
struct GuardedCall {
  const std::string& name;
  const SJson& input;
  const std::string& text;
  bool is_error = false;
};

// Appends the signals the call raises to the turn's list, in rule order.
// Paths of external writes are placed under the configured SharePoint root.
void apply_turn_guards(const GuardedCall& call, std::vector<ComplianceSignal>& signals);
// The same with the SharePoint root given.
void apply_turn_guards_in(std::string_view sharepoint_root, const GuardedCall& call,
                          std::vector<ComplianceSignal>& signals);

// The PreResponse hook point for one piece of answer text: logs
// "{} chars" with its character count when the switch is on. The text goes
// on unchanged.
void pre_response_hook(const std::string& text);

}  // namespace drovix::agent
