#include "agent/src/main/messages.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/src/main/system_prompt.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix;
using namespace drovix::agent;

namespace {

SJson user(std::string text) { return SJson{{"role", "user"}, {"content", std::move(text)}}; }
SJson assistant(std::string text) { return SJson{{"role", "assistant"}, {"content", std::move(text)}}; }
SJson tool_use(const std::string& id) {
  return SJson{{"role", "assistant"},
               {"content", SJson::array({SJson{{"type", "tool_use"}, {"id", id}, {"name", "search"},
                                               {"input", SJson::object()}}})}};
}
SJson tool_result(const std::string& id, SJson content) {
  return SJson{{"role", "user"},
               {"content", SJson::array({SJson{{"type", "tool_result"}, {"tool_use_id", id},
                                               {"content", std::move(content)}}})}};
}

size_t history_bytes(const Messages& h) { return to_compact(SJson(h)).size(); }

// A turn with one tool round whose messages total about `bytes`.
Messages turn(const std::string& tag, size_t bytes) {
  return {user(tag), tool_use(tag), tool_result(tag, std::string(bytes, 'x')), assistant("done " + tag)};
}

}  // namespace

TEST(TurnsToMessages, PairsPerTurn) {
  Messages m = turns_to_messages({{"first", "one"}, {"second", ""}});
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], user("first"));
  EXPECT_EQ(m[1], assistant("one"));
  EXPECT_EQ(m[2], user("second"));
  EXPECT_EQ(m[3], assistant("(no output)"));

  // Rebuilt turns are held to the budget too, oldest dropped first.
  std::vector<ChatTurn> big(3, ChatTurn{std::string(90000, 'q'), "a"});
  big[1].user = std::string(90000, 'r');
  m = turns_to_messages(big);
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], user(big[1].user));
}

TEST(TrimMessageHistory, DropsWholeOldestTurns) {
  // Three turns of 60,000 + 95,000 + 95,000 bytes: only the first goes, and
  // its tool round goes with it.
  Messages h;
  for (auto& [tag, size] : std::vector<std::pair<std::string, size_t>>{{"t1", 60000}, {"t2", 95000}, {"t3", 95000}})
    for (auto& m : turn(tag, size)) h.push_back(m);
  ASSERT_GT(history_bytes(h), 200000u);
  trim_message_history(h);
  ASSERT_EQ(h.size(), 8u);
  EXPECT_EQ(h[0], user("t2"));
  EXPECT_LE(history_bytes(h), 200000u);

  // Exactly at the bound nothing goes; one byte over, the oldest turn goes.
  Messages edge = {user("a"), assistant("b"), user("c")};
  size_t base = history_bytes(edge);
  edge[1] = assistant(std::string(200000 - base + 2, 'b'));
  Messages at = edge;
  at[1] = assistant(std::string(200000 - base + 1, 'b'));
  ASSERT_EQ(history_bytes(at), 200000u);
  trim_message_history(at);
  EXPECT_EQ(at.size(), 3u);
  trim_message_history(edge);
  ASSERT_EQ(edge.size(), 1u);
  EXPECT_EQ(edge[0], user("c"));
}

TEST(TrimMessageHistory, KeepsWhatCannotBeCut) {
  // One huge prompt alone stays.
  Messages one = {user(std::string(300000, 'p'))};
  trim_message_history(one);
  EXPECT_EQ(one.size(), 1u);
  // Over budget, but the only plain user message is the first: unchanged.
  Messages only_first = turn("t", 250000);
  trim_message_history(only_first);
  EXPECT_EQ(only_first.size(), 4u);
  // The newest turn stays even when it alone is over budget.
  Messages h = turn("old", 10);
  for (auto& m : turn("new", 250000)) h.push_back(m);
  trim_message_history(h);
  ASSERT_EQ(h.size(), 4u);
  EXPECT_EQ(h[0], user("new"));
}

TEST(PruneToolHistory, ClipsPicturesAndClosesTheTurn) {
  std::string ascii(30000, 'a');
  std::string two_byte;
  for (int i = 0; i < 15000; ++i) two_byte += "é";  // 15,000 characters, 30,000 bytes
  std::string mixed;
  for (int i = 0; i < 20001; ++i) mixed += "€";

  Messages t = {
      user("go"),
      tool_use("1"),
      tool_result("1", ascii),
      tool_result("2", two_byte),
      tool_result("3", mixed),
      tool_result("4", SJson::array({SJson{{"type", "text"}, {"text", "page 3"}},
                                     SJson{{"type", "image"},
                                           {"source", {{"type", "base64"}, {"media_type", "image/png"}, {"data", "AA=="}}}}})),
      SJson{{"role", "assistant"}, {"content", SJson::array()}},
      tool_result("5", "short"),
  };
  prune_tool_history(t);
  ASSERT_EQ(t.size(), 9u);
  EXPECT_EQ(t[2]["content"][0]["content"], std::string(20000, 'a') + "\n[… clipped from history]");
  EXPECT_EQ(t[3]["content"][0]["content"], two_byte) << "clipping counts characters, not bytes";
  std::string mixed_clipped;
  for (int i = 0; i < 20000; ++i) mixed_clipped += "€";
  EXPECT_EQ(t[4]["content"][0]["content"], mixed_clipped + "\n[… clipped from history]");
  EXPECT_EQ(t[5]["content"][0]["content"],
            SJson::array({SJson{{"type", "text"}, {"text", "page 3"}},
                          SJson{{"type", "text"}, {"text", "[page picture shown at the time; view_page again to look]"}}}));
  EXPECT_EQ(t[6]["content"], SJson::array({SJson{{"type", "text"}, {"text", "(no output)"}}}));
  EXPECT_EQ(t[0], user("go"));
  EXPECT_EQ(t[8], assistant("(stopped: tool round limit reached)"));

  Messages finished = {user("go"), assistant("answer")};
  prune_tool_history(finished);
  EXPECT_EQ(finished.size(), 2u);
}

TEST(TurnStartPositions, PlainUserMessagesInRange) {
  Messages h = turn("a", 1);
  for (auto& m : turn("b", 1)) h.push_back(m);
  h.push_back(user("c"));
  EXPECT_EQ(turn_start_positions(h, 0, h.size()), (std::vector<size_t>{0, 4, 8}));
  EXPECT_EQ(turn_start_positions(h, 1, 8), (std::vector<size_t>{4}));
}

TEST(SystemPrompt, FileThenEnvironmentThenBuiltIn) {
  testbed::TempDir dir;
  std::string file = dir / "system.txt";
  unsetenv("SYSTEM_PROMPT");
  EXPECT_EQ(system_prompt_from(file), kBuiltinSystemPrompt);
  EXPECT_EQ(std::string(kBuiltinSystemPrompt).size(), 781u);

  setenv("SYSTEM_PROMPT", "", 1);
  EXPECT_EQ(system_prompt_from(file), kBuiltinSystemPrompt);
  setenv("SYSTEM_PROMPT", "  from env  ", 1);
  EXPECT_EQ(system_prompt_from(file), "  from env  ");

  testbed::write_text(file, "\n   \n\t\n");
  EXPECT_EQ(system_prompt_from(file), "  from env  ");
  testbed::write_text(file, "\n  House prompt.\n");
  EXPECT_EQ(system_prompt_from(file), "House prompt.");
  unsetenv("SYSTEM_PROMPT");
}
