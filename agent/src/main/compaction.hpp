#pragma once
// Keeping a long session within what the model can take in: once the
// conversation's context reaches 150,000 bytes, the older turns are folded
// into one running summary by a separate model call and their messages
// leave the history; the newest turns stay as they are. A transcript the
// session resumed from is folded in the same way, once.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "agent/src/main/keyring.hpp"
#include "agent/src/main/model_request.hpp"
#include "agent/src/main/session_state.hpp"
#include "agent/src/main/telemetry.hpp"
#include "common/result.hpp"

namespace drovix::agent {

inline constexpr size_t kCompactTriggerBytes = 150000;
inline constexpr size_t kKeepBudgetBytes = 40000;
inline constexpr size_t kKeepMinTurns = 2;
inline constexpr size_t kKeepMaxTurns = 8;
inline constexpr size_t kSummaryToolResultChars = 3000;
inline constexpr size_t kSummaryToolInputChars = 500;
inline constexpr size_t kSummaryInputCapBytes = 400000;
inline constexpr int kSummaryMaxTokens = 2000;

extern const char* const kSummariserSystem;

// What one compaction folded: the number of turns newly folded into the
// summary, and whether the resumed transcript went in this time.
struct Compaction {
  size_t folded_turns = 0;
  bool resumed_folded = false;
};

// Folds the older turns into the running summary when the context has
// reached the trigger. Nothing when there is nothing to do; an error text
// when the summariser call fails or gives an empty summary (the session is
// then unchanged). The session lock is held while measuring and building
// the summariser input and again while applying the result, but not during
// the model call.
Result<std::optional<Compaction>> compact_history(const Keyring& kr, const AgentSetup& setup,
                                                  SharedSession& session);
Result<std::optional<Compaction>> compact_history(const Keyring& kr, const AgentSetup& setup,
                                                  SharedSession& session, const ServiceConnector& connect);

// The text when it has at most n characters, else its first n characters
// followed by "…".
std::string clip_chars_ellipsis(std::string_view text, size_t n);

// What a compaction folded, in words: "{} earlier turn(s)", "the resumed
// session and {} earlier turn(s)" or "the resumed session".
std::string compaction_subject(const Compaction& c);
// The line the chat page shows after a compaction.
std::string compaction_notice(const Compaction& c);
// The turn's audit signal of a compaction.
ComplianceSignal compaction_signal(const Compaction& c);

}  // namespace drovix::agent
