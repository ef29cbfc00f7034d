#include "agent/src/main/compaction.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/agent/turn/turn_fixture.hpp"

using namespace drovix;
using namespace drovix::agent;
using namespace turntest;

namespace {

SJson msg(const std::string& role, SJson content) { return SJson{{"role", role}, {"content", std::move(content)}}; }

// Appends a plain turn of user and assistant text, to the turns and the
// history both.
void add_turn(SessionState& st, const std::string& user, const std::string& assistant) {
  st.turns.push_back(ChatTurn{user, assistant});
  st.messages.push_back(msg("user", user));
  st.messages.push_back(msg("assistant", assistant));
}

// n turns of `bytes` bytes each (user and assistant halves), named by
// their index so each turn's messages can be told apart.
void add_turns(SessionState& st, size_t n, size_t bytes) {
  for (size_t i = 0; i < n; ++i) {
    std::string tag = "t" + std::to_string(st.turns.size()) + ":";
    add_turn(st, tag + std::string(bytes / 2 - tag.size(), 'u'), std::string(bytes - bytes / 2, 'a'));
  }
}

size_t history_bytes(const SessionState& st) { return to_compact(SJson(st.messages)).size(); }

// The summariser's reply: one text block per piece.
SJson summary_reply(const std::vector<std::string>& pieces) {
  SJson content = SJson::array();
  for (const auto& p : pieces) content.push_back(text_block(p));
  return reply(content, "end_turn");
}

struct Snapshot {
  Messages messages;
  std::vector<std::string> turns;
  std::string summary;
  size_t upto;
  uint32_t compactions;
  bool resume_folded;
  bool operator==(const Snapshot&) const = default;
};

Snapshot snap(const SessionState& st) {
  std::vector<std::string> t;
  for (const auto& x : st.turns) t.push_back(x.user + "|" + x.assistant);
  return {st.messages, t, st.summary, st.summary_upto, st.compactions, st.resume_folded};
}

class Compact : public PeerTest {
 protected:
  void SetUp() override {
    PeerTest::SetUp();
    ::unsetenv("CLAUDE_MODEL");
  }
  Result<std::optional<Compaction>> compact() { return compact_history(kr_, setup_, session_, connect_); }

  AgentSetup setup_;
  SharedSession session_;
};

}  // namespace

// Nothing below 150,000 bytes of context; a compaction at exactly that.
TEST_F(Compact, TriggerAtOneHundredFiftyThousandBytes) {
  SessionState& st = session_.state;
  add_turns(st, 10, 100);
  const size_t fill = kCompactTriggerBytes - history_bytes(st);

  st.summary = std::string(fill - 1, 's');
  const Snapshot before = snap(st);
  auto none = compact();
  ASSERT_TRUE(none.ok()) << none.message();
  EXPECT_FALSE(none->has_value());
  EXPECT_TRUE(peer_->requests().empty());
  EXPECT_TRUE(snap(st) == before);

  st.summary = std::string(fill, 's');
  push_json(summary_reply({"The summary."}));
  auto done = compact();
  ASSERT_TRUE(done.ok()) << done.message();
  ASSERT_TRUE(done->has_value());
  EXPECT_EQ((*done)->folded_turns, 2u);
  EXPECT_FALSE((*done)->resumed_folded);
  EXPECT_EQ(peer_->requests().size(), 1u);
  EXPECT_EQ(st.summary, "The summary.");
  EXPECT_EQ(st.summary_upto, 2u);
  EXPECT_EQ(st.compactions, 1u);
  ASSERT_EQ(st.messages.size(), 16u);
  EXPECT_EQ(st.messages.front(), msg("user", st.turns[2].user)) << "history starts with the oldest kept turn";
}

// Which of the newest turns stay: 2 to 8 of them within 40,000 bytes, all
// of them when 2 or fewer are unfolded.
TEST_F(Compact, KeptTurnRule) {
  struct Case {
    const char* name;
    std::vector<size_t> sizes;  // bytes per turn, oldest first
    size_t upto;
    std::optional<size_t> folded;  // nothing: no compaction
  };
  const Case cases[] = {
      {"ten small turns keep eight", std::vector<size_t>(10, 3000), 0, 2},
      {"newest three over budget keep two", {100, 100, 100, 100, 100, 100, 100, 16000, 17000, 17000}, 0, 8},
      {"budget met exactly", std::vector<size_t>(10, 8000), 0, 5},
      {"newest two kept whatever their size", {100, 100, 100, 60000, 60000}, 0, 3},
      {"two unfolded turns", std::vector<size_t>(2, 100), 0, std::nullopt},
      {"nothing left beyond the summary", std::vector<size_t>(12, 3000), 4, std::nullopt},
      {"beyond the summary", std::vector<size_t>(14, 3000), 4, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedSession session;
    SessionState& st = session.state;
    for (size_t s : c.sizes) add_turns(st, 1, s);
    st.summary_upto = c.upto;
    st.summary = std::string(kCompactTriggerBytes, 's');
    const size_t requests = peer_->requests().size();
    if (c.folded) push_json(summary_reply({"S"}));
    auto res = compact_history(kr_, setup_, session, connect_);
    ASSERT_TRUE(res.ok()) << res.message();
    if (!c.folded) {
      EXPECT_FALSE(res->has_value());
      EXPECT_EQ(peer_->requests().size(), requests);
      continue;
    }
    ASSERT_TRUE(res->has_value());
    EXPECT_EQ((*res)->folded_turns, *c.folded);
    const size_t fold_at = c.upto + *c.folded;
    EXPECT_EQ(st.summary_upto, fold_at);
    EXPECT_EQ(st.messages.size(), 2 * (c.sizes.size() - fold_at));
    EXPECT_EQ(st.messages.front(), msg("user", st.turns[fold_at].user));
  }
}

// The summariser request, whole: the existing summary, the resumed
// transcript, a turn trimmed out of the history from its stored texts, and
// the others from their messages with tool inputs and results clipped.
TEST_F(Compact, SummariserRequestWhole) {
  ASSERT_EQ(std::strlen(kSummariserSystem), 604u);
  SessionState& st = session_.state;
  setup_.resumed = ResumedSession{"user: hi\nassistant: hello", "deal-review"};
  st.summary = "Earlier: goals.";
  // Turn 0 lives only in the stored turns; its messages were trimmed.
  st.turns.push_back(ChatTurn{"q0", "a0"});
  // Turn 1 used tools.
  const std::string long_path(600, 'x');
  st.turns.push_back(ChatTurn{"Find the rate", "Rate is 5%"});
  st.messages.push_back(msg("user", "Find the rate"));
  st.messages.push_back(msg("assistant", SJson::array({text_block("Looking"),
                                                       tool_use("tu_1", "read_document", {{"path", long_path}}),
                                                       SJson{{"type", "thinking"}, {"thinking", "hidden"}}})));
  st.messages.push_back(msg(
      "user", SJson::array({SJson{{"type", "tool_result"}, {"tool_use_id", "tu_1"}, {"content", std::string(5000, 'r')}},
                            SJson{{"type", "tool_result"},
                                  {"tool_use_id", "tu_2"},
                                  {"content", SJson::array({text_block("picture note")})}}})));
  st.messages.push_back(msg("assistant", SJson::array({text_block("Rate is 5%")})));
  add_turn(st, "q2", "a2");
  add_turn(st, "q3", "a3");
  add_turn(st, std::string(kCompactTriggerBytes, 'q'), "a4");  // the newest turn is what fills the context

  push_json(summary_reply({"Goals and figures.", " Rate 5% from deals/x. "}));
  auto res = compact();
  ASSERT_TRUE(res.ok()) << res.message();
  ASSERT_TRUE(res->has_value());
  EXPECT_EQ((*res)->folded_turns, 3u);
  EXPECT_TRUE((*res)->resumed_folded);

  const std::string input =
      "EXISTING SUMMARY:\nEarlier: goals.\n\n"
      "RESUMED EARLIER SESSION (transcript):\nuser: hi\nassistant: hello\n\n"
      "NEW TURNS TO FOLD IN:\n"
      "User: q0\n\nAssistant: a0\n\n"
      "User: Find the rate\n\n"
      "Assistant: Looking\n\n"
      "[tool call read_document {\"path\":\"" +
      std::string(491, 'x') + "\u2026]\n\n" + "[tool result: " + std::string(3000, 'r') + "\u2026]\n\n" +
      "[tool result: ]\n\n" + "Assistant: Rate is 5%\n\n" + "User: q2\n\nAssistant: a2\n\n";
  const SJson expected = {{"model", "claude-sonnet-5"},
                          {"max_tokens", 2000},
                          {"system", kSummariserSystem},
                          {"messages", SJson::array({msg("user", input + "\nWrite the updated summary now.")})}};
  ASSERT_EQ(peer_->requests().size(), 1u);
  EXPECT_EQ(peer_->requests()[0].request_line, "POST /relay/anthropic/v1/messages HTTP/1.1");
  EXPECT_TRUE(peer_->requests()[0].body == expected.dump()) << "body differs from the expected request";
  EXPECT_EQ(request_body(0)["messages"][0]["content"], expected["messages"][0]["content"]);

  EXPECT_EQ(st.summary, "Goals and figures.\n Rate 5% from deals/x.");
  EXPECT_EQ(st.summary_upto, 3u);
  EXPECT_TRUE(st.resume_folded);
  ASSERT_EQ(st.messages.size(), 4u);
  EXPECT_EQ(st.messages.front(), msg("user", "q3"));
}

// The session is not locked while the summariser runs, and a turn that
// finishes meanwhile stays in the history after the result is applied.
TEST_F(Compact, TurnAppendedDuringSummariserIsKept) {
  SessionState& st = session_.state;
  add_turns(st, 10, 3000);
  st.summary = std::string(kCompactTriggerBytes, 's');
  peer_->push(peers::Reply().gate(1).send(
      peers::http_response(200, "application/json", summary_reply({"S2"}).dump())));

  Result<std::optional<Compaction>> res = Error("not run");
  std::thread t([&] { res = compact(); });
  ASSERT_TRUE(peer_->wait_at_gate(1));
  {
    std::unique_lock lock(session_.state_mu, std::try_to_lock);
    ASSERT_TRUE(lock.owns_lock()) << "the session stays locked during the model call";
    add_turn(st, "late question", "late answer");
  }
  peer_->open(1);
  t.join();
  ASSERT_TRUE(res.ok()) << res.message();
  ASSERT_TRUE(res->has_value());
  EXPECT_EQ((*res)->folded_turns, 2u);
  EXPECT_EQ(st.summary_upto, 2u);
  ASSERT_EQ(st.messages.size(), 18u);
  EXPECT_EQ(st.messages.front(), msg("user", st.turns[2].user));
  EXPECT_EQ(st.messages[16], msg("user", "late question"));
  EXPECT_EQ(st.messages.back(), msg("assistant", "late answer"));
}

// A blank summary and a failed call leave the session exactly as it was.
TEST_F(Compact, FailuresChangeNothing) {
  SessionState& st = session_.state;
  add_turns(st, 10, 3000);
  st.summary = std::string(kCompactTriggerBytes, 's');
  const Snapshot before = snap(st);

  SJson blank = summary_reply({"  ", "\n"});
  blank["content"].push_back(SJson{{"type", "tool_use"}, {"id", "x"}, {"name", "n"}, {"input", SJson::object()}});
  push_json(blank);
  auto empty = compact();
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.message(), "empty summary");
  EXPECT_TRUE(snap(st) == before);

  peer_->push(peers::Reply().send(
      peers::http_response(500, "application/json", peers::anthropic_error_body("api_error", "Overloaded"))));
  auto failed = compact();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.message(), "API 500: Overloaded");
  EXPECT_TRUE(snap(st) == before);
}

// A resumed transcript is folded alone when there are no turns yet, and
// only once; the page line and the signal name what was folded.
TEST_F(Compact, ResumedTranscriptFoldedOnce) {
  setup_.resumed = ResumedSession{std::string(kCompactTriggerBytes, 'T'), "old"};
  push_json(summary_reply({"Resumed summary."}));
  auto res = compact();
  ASSERT_TRUE(res.ok()) << res.message();
  ASSERT_TRUE(res->has_value());
  EXPECT_EQ((*res)->folded_turns, 0u);
  EXPECT_TRUE((*res)->resumed_folded);
  EXPECT_TRUE(session_.state.resume_folded);
  EXPECT_EQ(session_.state.summary_upto, 0u);
  EXPECT_EQ(compaction_notice(**res),
            "\n\n\u22ef compacted the resumed session into a running summary to keep the context bounded\n");
  ComplianceSignal sig = compaction_signal(**res);
  EXPECT_EQ(sig.rule, "context_compacted");
  EXPECT_EQ(sig.severity, "low");
  EXPECT_EQ(sig.title, "Conversation compacted");
  EXPECT_EQ(sig.detail, "Compacted the resumed session into a running summary to keep the context bounded.");
  EXPECT_EQ(sig.field, "context");

  auto again = compact();
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(again->has_value());
  EXPECT_EQ(peer_->requests().size(), 1u);

  EXPECT_EQ(compaction_subject(Compaction{4, false}), "4 earlier turn(s)");
  EXPECT_EQ(compaction_subject(Compaction{3, true}), "the resumed session and 3 earlier turn(s)");
}

// An over-long input keeps its newest 400,000 bytes from a character
// boundary, behind a marker.
TEST_F(Compact, LongInputKeepsItsNewestPart) {
  std::string transcript;
  for (int i = 0; i < 225000; ++i) transcript += "\u00e9";
  transcript += "a";
  setup_.resumed = ResumedSession{transcript, "old"};
  push_json(summary_reply({"S"}));
  auto res = compact();
  ASSERT_TRUE(res.ok()) << res.message();

  const std::string full = "RESUMED EARLIER SESSION (transcript):\n" + transcript + "\n\n";
  const size_t from = full.size() - kSummaryInputCapBytes + 1;  // the cut lands inside a two-byte character
  const std::string want = "[\u2026 oldest part omitted]\n" + full.substr(from) + "\nWrite the updated summary now.";
  const std::string got = request_body(0)["messages"][0]["content"].get<std::string>();
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
}
