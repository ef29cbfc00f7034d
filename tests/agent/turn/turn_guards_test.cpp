#include "agent/src/main/turn_guards.hpp"

#include <gtest/gtest.h>

#include <re2/re2.h>

#include <tuple>

#include "agent/src/main/event_id.hpp"
#include "agent/src/main/hooks.hpp"

using namespace drovix;
using namespace drovix::agent;

namespace {

using Sig = std::tuple<std::string, std::string, std::string, std::string, std::string>;

std::vector<Sig> as_tuples(const std::vector<ComplianceSignal>& v) {
  std::vector<Sig> out;
  for (const auto& s : v) out.emplace_back(s.rule, s.severity, s.title, s.detail, s.field);
  return out;
}

const std::string kEgress = "blocked: a stored credential appeared in outbound content";
const std::string kMarked = "BLOCKED \u2014 this file's contents are marked internal / do-not-share.";

Sig external_write(const std::string& tool, const std::string& path, const std::string& field) {
  return {"external_write", "low", "Document written to external store (SharePoint)",
          tool + " wrote '" + path + "' to the SharePoint library.", field};
}
Sig egress(const std::string& tool) {
  return {"egress_secret_blocked", "high", "Blocked: stored credential in outbound content",
          "The " + tool + " egress was refused: outbound content contained a stored credential.", "content"};
}
Sig ungranted(const std::string& tool, const std::string& path) {
  return {"ungranted_access", "high", "Blocked: SharePoint export with no active grant",
          tool + " to '" + path +
              "' was denied \u2014 its contents are marked internal / do-not-share, and there was no active "
              "'Export marked files' grant (SharePoint card in the Vuviv Avivu Rozoziv).",
          "path"};
}
Sig checkpointed(const std::string& title) {
  return {"session_checkpointed", "low", "Session state checkpointed",
          "Session learnings ('" + title + "') were sealed to a portable encrypted blob for later resume.",
          "session"};
}

}  // namespace

// Each rule raised by the call that triggers it, with its exact texts;
// external writes are named under the SharePoint root, refusals as given.
TEST(TurnGuards, SignalsForEachRule) {
  struct Case {
    const char* name;
    std::string tool;
    SJson input;
    std::string text;
    bool is_error;
    std::vector<Sig> want;
  };
  const Case cases[] = {
      {"marked save", "save_document", {{"path", "q3/sum.md"}, {"content", "Header: STRICTLY INTERNAL"}},
       "Saved", false,
       {external_write("save_document", "Reports/2026/q3/sum.md", "path"),
        {"sensitive_content_written", "medium", "Restricted content written to external store",
         "save_document wrote 'q3/sum.md', whose contents carry an internal / do-not-share marking.", "content"}}},
      {"refused marked save", "save_document", {{"path", "/q3/sum.md"}, {"to", "ignored"}}, kMarked, true,
       {ungranted("save_document", "/q3/sum.md")}},
      {"refused egress", "web_search", {{"query", "x"}}, "web search failed: " + kEgress, true, {egress("web_search")}},
      {"egress words in a success", "web_search", {{"query", "x"}}, kEgress, false, {}},
      {"egress and marked refusal", "export_table", {{"to", "out/t.csv"}}, kMarked + " " + kEgress, true,
       {egress("export_table"), ungranted("export_table", "out/t.csv")}},
      {"export without a target", "export_table", {{"table", "t"}}, "Exported", false,
       {external_write("export_table", "Reports/2026", "to")}},
      {"redline target trimmed", "export_redline", {{"to", " /x/y.docx/ "}}, "ok", false,
       {external_write("export_redline", "Reports/2026/x/y.docx", "to")}},
      {"checkpoint without a title", "checkpoint_session", {{"title", 7}}, "sealed", false,
       {checkpointed("session")}},
      {"checkpoint with a title", "checkpoint_session", {{"title", "Q3 close"}}, "sealed", false,
       {checkpointed("Q3 close")}},
      {"failed checkpoint", "checkpoint_session", {{"title", "Q3"}}, "no", true, {}},
      {"marked source", "read_document", {{"path", "deals/a.pdf"}}, "Page 1\nCONFIDENTIAL — Board pack", false,
       {{"sensitive_source_referenced", "medium", "Restricted document read from SharePoint",
         "read_document opened 'deals/a.pdf', whose contents carry an internal / do-not-share marking.", "path"}}},
      {"failed read of a marked source", "read_document", {{"path", "a"}}, "confidential: cannot open", true, {}},
      {"unmarked source", "read_document", {{"path", "a"}}, "public brochure", false, {}},
      {"input not an object", "save_document", SJson::array({1}), "ok", false,
       {external_write("save_document", "Reports/2026", "path")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<ComplianceSignal> sigs;
    apply_turn_guards_in("Reports/2026", GuardedCall{c.tool, c.input, c.text, c.is_error}, sigs);
    EXPECT_EQ(as_tuples(sigs), c.want);
  }
}

// The guards append to what the turn already raised.
TEST(TurnGuards, AppendsToTheCallersList) {
  std::vector<ComplianceSignal> sigs = {new_signal("a", "low", "t", "d", "f")};
  const SJson input = {{"to", "t.csv"}};
  apply_turn_guards_in("", GuardedCall{"export_table", input, "ok", false}, sigs);
  ASSERT_EQ(sigs.size(), 2u);
  EXPECT_EQ(sigs[0].rule, "a");
  EXPECT_EQ(sigs[1].detail, "export_table wrote 't.csv' to the SharePoint library.");
}

TEST(TurnGuards, PreResponseCountsCharacters) {
  hook_events_drain("");
  pre_response_hook("h\u00e9ll\u00f6");
  auto events = hook_events_drain("s1");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["hook"], "PreResponse");
  EXPECT_EQ(events[0]["tool"], "text");
  EXPECT_EQ(events[0]["decision"], "allow");
  EXPECT_EQ(events[0]["detail"], "5 chars");
}

TEST(EventId, VersionFourLayoutAndDistinct) {
  const std::string a = new_event_id();
  const std::string b = new_event_id();
  EXPECT_NE(a, b);
  for (const auto& id : {a, b}) {
    EXPECT_TRUE(RE2::FullMatch(id, "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")) << id;
  }
}
