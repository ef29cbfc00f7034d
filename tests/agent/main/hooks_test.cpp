#include "agent/src/main/hooks.hpp"

#include <gtest/gtest.h>

#include "agent/src/main/clip.hpp"
#include "agent/src/main/clock.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::agent;
using drovix::SJson;

TEST(HookSwitches, BooleansSwitchOffAnythingElseLeavesOn) {
  using Sw = std::array<bool, kHookKinds>;
  EXPECT_EQ(hook_switches_from(nullptr), (Sw{true, true, true, true, true}));
  SJson not_object = "off";
  EXPECT_EQ(hook_switches_from(&not_object), (Sw{true, true, true, true, true}));
  SJson hooks = {{"pre_tool_use", false}, {"post_tool_use", "false"}, {"pre_response", 0},
                 {"user_prompt_submit", true}, {"pre_api_call", false}};
  EXPECT_EQ(hook_switches_from(&hooks), (Sw{true, false, false, true, true}));
}

TEST(HookLog, DrainGivesSortedRecordsOnceAndClipsDetail) {
  HookState state;
  uint64_t before = now_millis();
  hook_log_append(state, HookKind::PreToolUse, "grep", "allow", std::string(700, 'x'));
  hook_log_append(state, HookKind::PreResponse, "text", "allow", "12 chars");
  auto records = hook_log_drain(state, "sess-1");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["detail"].get<std::string>(), std::string(600, 'x'));
  EXPECT_TRUE(records[0]["ts"].is_number_unsigned());
  EXPECT_GE(records[0]["ts"].get<uint64_t>(), before);
  SJson second = records[1];
  second["ts"] = 5;
  EXPECT_EQ(drovix::to_compact(second),
            R"({"decision":"allow","detail":"12 chars","hook":"PreResponse","session_id":"sess-1","tool":"text","ts":5})");
  EXPECT_TRUE(hook_log_drain(state, "sess-1").empty()) << "a second drain finds nothing";
}

// The process-wide state is made once; each case runs in a fresh process.
TEST(HookState, SwitchesFromStartUpOrAllOnWhenAHookCameFirst) {
  testbed::run_in_netns([] {
    SJson hooks = {{"pre_tool_use", false}, {"post_tool_use", "no"}};
    hook_switches(&hooks);
    EXPECT_EQ(run_policy_hook(HookKind::PreToolUse, "grep", "{}", "input"), "allow");
    EXPECT_EQ(run_policy_hook(HookKind::PostToolUse, "grep", "{}", "ok · 3 chars"), "allow");
    auto records = hook_events_drain("s");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["hook"], "PostToolUse");
    EXPECT_EQ(records[0]["detail"], "ok · 3 chars");
    EXPECT_TRUE(hook_events_drain("s").empty());
  });
  testbed::run_in_netns([] {
    run_policy_hook(HookKind::UserPromptSubmit, "prompt", "hello", "5 chars");
    SJson off = {{"user_prompt_submit", false}, {"pre_tool_use", false}};
    hook_switches(&off);  // too late: the state exists with every switch on
    run_policy_hook(HookKind::PreToolUse, "grep", "{}", "input");
    hook_event_log(HookKind::PreResponse, "stream", "allow", "3 chunks · 10 chars");
    auto records = hook_events_drain("s");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0]["hook"], "UserPromptSubmit");
    EXPECT_EQ(records[1]["hook"], "PreToolUse");
    EXPECT_EQ(records[2]["tool"], "stream");
  });
}

TEST(TruncateChars, ClipsByCharactersAndBlanksControls) {
  struct Case {
    std::string text;
    size_t n;
    std::string expected;
  };
  const Case cases[] = {
      {"a\tb", 10, "a b"},
      {"abcde", 3, "abc\u2026"},
      {"abcde", 5, "abcde"},
      {"abcde", 0, "\u2026"},
      {"", 0, ""},
      {"h\u00e9llo w\u00f6rld", 4, "h\u00e9ll\u2026"},
      {"\u65e5\u672c\u8a9e\u306e\u6587", 2, "\u65e5\u672c\u2026"},
      {"\U0001F600x", 1, "\U0001F600\u2026"},
      {"a\nb\rc\x7f" "d\u0085e\u00a0", 20, "a b c d e\u00a0"},
      {"bad\xff", 10, "bad\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(truncate_chars(c.text, c.n), c.expected) << c.text << " / " << c.n;
}
