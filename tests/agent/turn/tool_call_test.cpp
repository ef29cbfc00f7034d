#include "agent/src/main/tool_call.hpp"

#include <gtest/gtest.h>

#include "agent/src/main/hooks.hpp"
#include "tests/agent/turn/turn_fixture.hpp"

using namespace drovix;
using namespace drovix::agent;

namespace {

// The executor only passes the workspace on; any address stands in for it.
WorkspaceStore* fake_workspace() {
  static char storage[16];
  return reinterpret_cast<WorkspaceStore*>(storage);
}

}  // namespace

// The call reaches the dispatcher unchanged and is put on record before
// and after: the input (cut to 300 characters) and the outcome with the
// reply's length in characters.
TEST(RunToolCall, DispatchesAndLogsHookPoints) {
  Keyring kr;
  turntest::ScriptedTools tools;
  tools.replies = {{"read_document", {std::string(2000, 'a'), false}},
                   {"web_search", {"d\u00e9j\u00e0 vu", true}}};
  hook_events_drain("");

  const SJson input = {{"path", std::string(400, 'p')}};
  ToolCallOutcome ok = run_tool_call(kr, nullptr, "read_document", input, tools.services());
  EXPECT_EQ(ok.text, std::string(2000, 'a'));
  EXPECT_EQ(ok.input, input);
  EXPECT_FALSE(ok.is_error);
  ToolCallOutcome failed = run_tool_call(kr, nullptr, "web_search", SJson{{"query", "q\x7fr"}}, tools.services());
  EXPECT_TRUE(failed.is_error);
  ToolCallOutcome unknown = run_tool_call(kr, nullptr, "nope", SJson(), tools.services());
  EXPECT_TRUE(unknown.is_error);

  ASSERT_EQ(tools.calls.size(), 3u);
  EXPECT_EQ(tools.calls[0].name, "read_document");
  EXPECT_EQ(tools.calls[0].input, input);
  EXPECT_EQ(tools.calls[2].input, SJson());

  auto ev = hook_events_drain("s");
  ASSERT_EQ(ev.size(), 6u);
  EXPECT_EQ(ev[0]["hook"], "PreToolUse");
  EXPECT_EQ(ev[0]["tool"], "read_document");
  EXPECT_EQ(ev[0]["detail"], "{\"path\":\"" + std::string(291, 'p') + "\u2026");
  EXPECT_EQ(ev[1]["hook"], "PostToolUse");
  EXPECT_EQ(ev[1]["detail"], "ok \u00b7 2000 chars");
  EXPECT_EQ(ev[2]["detail"], "{\"query\":\"q r\"}") << "control characters become blanks";
  EXPECT_EQ(ev[3]["detail"], "error \u00b7 7 chars");
  EXPECT_EQ(ev[4]["detail"], "null");
}

// Figures are recorded only for successful calls that read a source, and
// for table queries only when they concern the session's scope.
TEST(RunToolCall, RecordsSourceFigures) {
  struct Case {
    const char* name;
    std::string tool;
    SJson input;
    bool is_error;
    std::string scope;
    bool with_workspace;
    bool recorded;
  };
  const Case cases[] = {
      {"read_document", "read_document", {{"path", "a"}}, false, "", true, true},
      {"failed read_document", "read_document", {{"path", "a"}}, true, "", true, false},
      {"web_search", "web_search", {{"query", "a"}}, false, "acme", true, true},
      {"concordance", "concordance", {{"term", "a"}}, false, "", true, true},
      {"query_mcp", "query_mcp", {{"server_id", "s"}}, false, "", true, true},
      {"table_query without scope", "table_query", {{"where", "x"}}, false, "", true, true},
      {"table_query about the scope", "table_query", {{"where", "cp = 'ACME CORP'"}}, false, "Acme Corp", true,
       true},
      {"table_query about others", "table_query", {{"where", "cp = 'Globex'"}}, false, "Acme Corp", true, false},
      {"datalake_query about the scope", "datalake_query", {{"sql", "select * where cp='acme'"}}, false, "ACME",
       true, true},
      {"datalake_query about others", "datalake_query", {{"sql", "select 1"}}, false, "ACME", true, false},
      {"other tool", "save_document", {{"path", "a"}}, false, "", true, false},
      {"no workspace", "read_document", {{"path", "a"}}, false, "", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Keyring kr;
    turntest::ScriptedTools tools;
    tools.replies = {{c.tool, {"Revenue 1,234.5 rated AA-", c.is_error}}};
    ToolServices services = tools.services();
    std::vector<std::string> noted;
    WorkspaceStore* seen = nullptr;
    services.session_scope = [&](WorkspaceStore&) { return c.scope; };
    services.note_source_figures = [&](WorkspaceStore& ws, const std::string& text) {
      seen = &ws;
      noted.push_back(text);
    };
    WorkspaceStore* ws = c.with_workspace ? fake_workspace() : nullptr;
    run_tool_call(kr, ws, c.tool, c.input, services);
    ASSERT_EQ(tools.calls.size(), 1u);
    EXPECT_EQ(tools.calls[0].ws, ws);
    if (c.recorded) {
      EXPECT_EQ(noted, std::vector<std::string>{"Revenue 1,234.5 rated AA-"});
      EXPECT_EQ(seen, ws);
    } else {
      EXPECT_TRUE(noted.empty());
    }
  }
}
