#pragma once
// The conversation as Messages-API messages: rebuilding them from stored
// turns, keeping the history within its byte budget, and shrinking a
// finished turn's tool results before they join the history.
#include <cstddef>
#include <string>
#include <vector>

#include "common/json.hpp"

namespace drovix::agent {

// One finished exchange: the user's prompt and the final answer text.
struct ChatTurn {
  std::string user;
  std::string assistant;
};

using Messages = std::vector<SJson>;

// The history's budget: its length written as one compact JSON array.
inline constexpr size_t kHistoryBudgetBytes = 200000;
// Tool-result texts longer than this many characters are clipped.
inline constexpr size_t kToolResultClipChars = 20000;

inline constexpr const char* kNoOutput = "(no output)";
inline constexpr const char* kPictureNote = "[page picture shown at the time; view_page again to look]";
inline constexpr const char* kClippedMark = "\n[… clipped from history]";
inline constexpr const char* kRoundLimitStop = "(stopped: tool round limit reached)";

// A message whose role is "user" and whose content is a string: the start
// of a turn. Tool results travel as user messages with array content.
bool is_plain_user_message(const SJson& msg);

// One user and one assistant message per turn ("(no output)" for an empty
// answer), trimmed to the history budget.
Messages turns_to_messages(const std::vector<ChatTurn>& turns);

// Drops the oldest whole turns until the history fits its budget. The
// newest turn stays even when it alone is over budget.
void trim_message_history(Messages& history);
// Length of the history written as one compact JSON array, without
// building that array.
size_t compact_length(const Messages& history);

// Shrinks one finished turn's messages for the history: empty block lists
// become "(no output)", page pictures in tool results become a note, long
// tool-result texts are clipped; a turn that ended on tool results gets a
// closing assistant message so the history keeps alternating.
void prune_tool_history(Messages& turn);

// Positions of the plain user messages within [begin, end), ascending.
std::vector<size_t> turn_start_positions(const Messages& messages, size_t begin, size_t end);

}  // namespace drovix::agent
