#pragma once
// Running one tool call: the PreToolUse and PostToolUse hook points around
// the tool dispatcher and, after a successful call that read from a source,
// the recording of the reply's figures for the figure-trace guard of the
// save tools. The tool-round loop and the recipe runner both come through
// here, so every call passes the same hook points.
#include <functional>
#include <string>

#include "agent/src/main/keyring.hpp"
#include "common/json.hpp"

namespace drovix::agent {

// The session's shared workspace state; a call without one gets nullptr.
struct WorkspaceStore;

// A tool body's reply.
struct ToolReply {
  std::string text;
  bool is_error = false;
};

// What a tool call needs of the tools and the workspace: the dispatcher,
// the session scope (read under the workspace's read lock; empty when none
// is set) and the recorder of a reply's figures (which takes the
// workspace's write lock itself). A missing scope reader reads as no scope;
// a missing recorder records nothing.
struct ToolServices {
  std::function<ToolReply(const Keyring&, WorkspaceStore*, const std::string& name, const SJson& input)> dispatch;
  std::function<std::string(WorkspaceStore&)> session_scope;
  std::function<void(WorkspaceStore&, const std::string& text)> note_source_figures;
};

// The outcome of one call: the reply text, the input the tool ran with and
// whether the tool failed.
struct ToolCallOutcome {
  std::string text;
  SJson input;
  bool is_error = false;
};

// Runs one tool call. Never fails: a tool failure is an outcome with
// is_error set. A services record without a dispatcher answers every call
// with an error outcome.
ToolCallOutcome run_tool_call(const Keyring& kr, WorkspaceStore* ws, const std::string& name, const SJson& input,
                              const ToolServices& services);

}  // namespace drovix::agent
