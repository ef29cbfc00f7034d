#include "agent/src/main/compaction.hpp"

#include <algorithm>
#include <mutex>

#include "agent/src/main/text_push.hpp"
#include "common/text.hpp"

namespace drovix::agent {

const char* const kSummariserSystem =
    "You maintain the running memory of a work session between a user and an AI assistant at a regulated "
    "financial-services firm. Merge the existing summary (if any), any resumed earlier session, and the new "
    "turns into ONE updated summary that lets the assistant continue seamlessly. Keep: the user's goals, "
    "preferences and instructions; facts and figures established, with their sources (document names, tool "
    "results); decisions made; open questions and next steps. Preserve exact names, numbers, dates and "
    "identifiers. Never invent anything. Plain text with short headed sections, at most about 1,200 words.";

namespace {

size_t turn_bytes(const ChatTurn& t) { return t.user.size() + t.assistant.size(); }

// How many of the newest unfolded turns stay as they are.
size_t kept_turn_count(const std::vector<ChatTurn>& turns, size_t unfolded) {
  if (unfolded <= kKeepMinTurns) return unfolded;
  size_t kept = kKeepMinTurns;
  size_t total = 0;
  const size_t limit = std::min(unfolded, kKeepMaxTurns);
  for (size_t k = 1; k <= limit; ++k) {
    total += turn_bytes(turns[turns.size() - k]);
    if (total > kKeepBudgetBytes) break;
    if (k > kKeepMinTurns) kept = k;
  }
  return kept;
}

void render_messages(std::string& out, const Messages& history, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    const SJson& msg = history[i];
    const std::string label = json_get_str(msg, "role") == "user" ? "User" : "Assistant";
    auto content = msg.is_object() ? msg.find("content") : msg.end();
    if (!msg.is_object() || content == msg.end()) continue;
    if (content->is_string()) {
      out += label + ": " + content->get<std::string>() + "\n\n";
      continue;
    }
    if (!content->is_array()) continue;
    for (const SJson& block : *content) {
      const std::string type = json_get_str(block, "type");
      if (type == "text") {
        out += label + ": " + json_get_str(block, "text") + "\n\n";
      } else if (type == "tool_use") {
        auto input = block.find("input");
        std::string input_text = input != block.end() ? to_compact(*input) : std::string();
        out += "[tool call " + json_get_str(block, "name") + " " +
               clip_chars_ellipsis(input_text, kSummaryToolInputChars) + "]\n\n";
      } else if (type == "tool_result") {
        out += "[tool result: " + clip_chars_ellipsis(json_get_str(block, "content"), kSummaryToolResultChars) +
               "]\n\n";
      }
    }
  }
}

// The turns [from, to) as the summariser reads them: from their messages
// when the history still holds them, else from the stored turn texts.
void render_turns(std::string& out, const SessionState& st, size_t from, size_t to) {
  const Messages& history = st.messages;
  const std::vector<size_t> starts = turn_start_positions(history, 0, history.size());
  const size_t turns = st.turns.size();
  const size_t first_in_history = turns > starts.size() ? turns - starts.size() : 0;
  for (size_t i = from; i < to; ++i) {
    if (i < first_in_history) {
      out += "User: " + st.turns[i].user + "\n\nAssistant: " + st.turns[i].assistant + "\n\n";
      continue;
    }
    size_t k = i - first_in_history;
    if (k >= starts.size()) continue;
    size_t end = k + 1 < starts.size() ? starts[k + 1] : history.size();
    render_messages(out, history, starts[k], end);
  }
}

// Keeps the newest part of an over-long input, from a character boundary.
void cap_input(std::string& input) {
  if (input.size() <= kSummaryInputCapBytes) return;
  size_t from = input.size() - kSummaryInputCapBytes;
  while (from < input.size() && (static_cast<unsigned char>(input[from]) & 0xC0) == 0x80) ++from;
  input = "[\u2026 oldest part omitted]\n" + input.substr(from);
}

std::string summary_text(const SJson& reply) {
  std::vector<std::string> parts;
  if (reply.is_object()) {
    auto content = reply.find("content");
    if (content != reply.end() && content->is_array()) {
      for (const SJson& block : *content) {
        if (!block.is_object()) continue;
        auto t = block.find("text");
        if (t != block.end() && t->is_string()) parts.push_back(t->get<std::string>());
      }
    }
  }
  std::string joined;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) joined += "\n";
    joined += parts[i];
  }
  return trim_unicode(joined);
}

}  // namespace

std::string clip_chars_ellipsis(std::string_view text, size_t n) {
  if (char_count(text) <= n) return std::string(text);
  std::string out;
  push_chars_upto(out, text, n);
  return out + "\u2026";
}

Result<std::optional<Compaction>> compact_history(const Keyring& kr, const AgentSetup& setup,
                                                  SharedSession& session) {
  return compact_history(kr, setup, session, default_connector());
}

Result<std::optional<Compaction>> compact_history(const Keyring& kr, const AgentSetup& setup,
                                                  SharedSession& session, const ServiceConnector& connect) {
  std::string input;
  size_t fold_at = 0;
  size_t folded = 0;
  bool fold_resumed = false;
  {
    std::lock_guard lock(session.state_mu);
    const SessionState& st = session.state;
    fold_resumed = setup.resumed.has_value() && !st.resume_folded;

    size_t measure = st.summary.size() + compact_length(st.messages);
    if (fold_resumed) measure += setup.resumed->transcript.size();
    if (measure < kCompactTriggerBytes) return std::optional<Compaction>();

    const size_t turns = st.turns.size();
    const size_t upto = std::min(st.summary_upto, turns);
    fold_at = turns - kept_turn_count(st.turns, turns - upto);
    if (fold_at <= upto && !fold_resumed) return std::optional<Compaction>();

    if (!st.summary.empty()) input += "EXISTING SUMMARY:\n" + st.summary + "\n\n";
    if (fold_resumed) input += "RESUMED EARLIER SESSION (transcript):\n" + setup.resumed->transcript + "\n\n";
    if (fold_at > upto) {
      input += "NEW TURNS TO FOLD IN:\n";
      render_turns(input, st, upto, fold_at);
      folded = fold_at - upto;
    }
  }
  cap_input(input);

  ModelRequest body =
      model_request_body(kSummaryMaxTokens, kSummariserSystem, nullptr,
                         SJson::array({SJson{{"role", "user"}, {"content", input + "\nWrite the updated summary now."}}}),
                         false);
  auto reply = call_model(kr, body, "compaction", connect);
  if (!reply) return reply.error();
  std::string summary = summary_text(*reply);
  if (summary.empty()) return Error("empty summary");

  std::lock_guard lock(session.state_mu);
  SessionState& st = session.state;
  // Other turns may have finished meanwhile: find where turns begin again.
  const std::vector<size_t> starts = turn_start_positions(st.messages, 0, st.messages.size());
  const size_t d = st.turns.size() > starts.size() ? st.turns.size() - starts.size() : 0;
  if (fold_at > d) {
    size_t k = fold_at - d;
    size_t cut = k < starts.size() ? starts[k] : st.messages.size();
    st.messages.erase(st.messages.begin(), st.messages.begin() + static_cast<std::ptrdiff_t>(cut));
  }
  st.summary = std::move(summary);
  st.summary_upto = std::max(st.summary_upto, fold_at);
  if (fold_resumed) st.resume_folded = true;
  ++st.compactions;
  return std::optional<Compaction>(Compaction{folded, fold_resumed});
}

std::string compaction_subject(const Compaction& c) {
  std::string turns = std::to_string(c.folded_turns) + " earlier turn(s)";
  if (!c.resumed_folded) return turns;
  if (c.folded_turns == 0) return "the resumed session";
  return "the resumed session and " + turns;
}

std::string compaction_notice(const Compaction& c) {
  return "\n\n\u22ef compacted " + compaction_subject(c) + " into a running summary to keep the context bounded\n";
}

ComplianceSignal compaction_signal(const Compaction& c) {
  return new_signal("context_compacted", "low", "Conversation compacted",
                    "Compacted " + compaction_subject(c) + " into a running summary to keep the context bounded.",
                    "context");
}

}  // namespace drovix::agent
