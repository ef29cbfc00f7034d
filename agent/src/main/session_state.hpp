#pragma once
// The records every request handler of the agent shares for the life of the
// VM: the read-only start-up settings, the conversation state, the sub-agent
// board and the turn lock. All are made once at start-up and held through
// shared pointers by every connection thread.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "agent/src/main/messages.hpp"
#include "common/json.hpp"

namespace drovix::agent {

// What the launch made this agent: a child with a task to run at boot, or
// an agent that may start up to `subagents` children of its own.
struct AgentRole {
  struct Child {
    std::string child_name;
    std::string task;  // untrimmed
  };
  std::optional<Child> child;
  unsigned subagents = 0;
  bool share_workspace = false;
  bool research = false;
};

// The resumed archive: its transcript text (untrimmed) and its name.
struct ResumedSession {
  std::string transcript;
  std::string name;
};

// The workspace hand-off to the boot staging thread; made by the workspace
// code, present exactly when a workspace exists.
struct StagingContext;

// Start-up settings; read-only once start-up has finished.
struct AgentSetup {
  std::string onedrive = "rw";
  std::string mode = "new";
  std::optional<ResumedSession> resumed;
  std::optional<std::string> skills;
  AgentRole role;
  SJson prior_manifest = SJson::array();
  std::shared_ptr<StagingContext> staging;
  bool audit = true;
  bool ephemeral = false;
};

// The conversation carried from turn to turn. Guarded by
// SharedSession::state_mu.
struct SessionState {
  std::vector<SJson> messages;  // Messages-API history, tool rounds included
  std::vector<ChatTurn> turns;  // every finished exchange, oldest first
  std::string archive;          // archive name saves go to; empty means none
  std::string last_saved;       // timestamp text of the last successful save
  std::string summary;          // running summary of compacted turns
  size_t summary_upto = 0;      // leading turns folded into the summary
  uint32_t compactions = 0;
  bool unsaved = false;        // a turn finished since the last save
  bool resume_folded = false;  // the resumed transcript is in the summary
};

// Sub-agent bookkeeping. Guarded by SharedSession::board_mu.
struct SubAgentBoard {
  std::vector<std::string> pending;  // notes for the next turn's update
  std::vector<SJson> delivered;      // {"name", "paths"} objects
  std::string status;                // a child agent's own status
  std::string log;                   // a child agent's progress log
  std::unordered_map<std::string, std::string> statuses;  // name -> status
};

// The shared record: the conversation state, the sub-agent board and the
// turn lock, each behind its own mutex. Chat turns hold turn_lock for their
// whole run so that turns run one at a time; state_mu and board_mu are held
// only for short reads and updates.
struct SharedSession {
  std::mutex state_mu;
  SessionState state;
  std::mutex board_mu;
  SubAgentBoard board;
  std::mutex turn_lock;
};

}  // namespace drovix::agent
