#include "agent/src/main/run_turn.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "tests/agent/turn/turn_fixture.hpp"

using namespace drovix;
using namespace drovix::agent;
using namespace turntest;

namespace {

const std::string kGear = "\n\u2699 ";
const std::string kArrow = " \u2192 ";

SJson tool_defs() {
  return SJson::array({SJson{{"name", "read_document"}, {"description", "Read"}, {"input_schema", SJson::object()}},
                       SJson{{"name", "save_document"}, {"description", "Save"}, {"input_schema", SJson::object()}}});
}

SJson result_block(const std::string& id, SJson content, bool is_error) {
  return SJson{{"type", "tool_result"}, {"tool_use_id", id}, {"content", std::move(content)}, {"is_error", is_error}};
}

SJson msg(const std::string& role, SJson content) { return SJson{{"role", role}, {"content", std::move(content)}}; }

// Records, in one sequence, what reached the sink and which tools ran.
struct Timeline {
  std::mutex mu;
  std::vector<std::string> events;
  void add(std::string e) {
    std::lock_guard lock(mu);
    events.push_back(std::move(e));
  }
  TextSink sink() {
    return [this](std::string_view s) {
      add("sink:" + std::string(s));
      return Status();
    };
  }
};

class RunTurn : public PeerTest {
 protected:
  void SetUp() override {
    PeerTest::SetUp();
    ::unsetenv("CLAUDE_MODEL");
  }

  Result<TurnResult> run(const Messages& conv, const std::string& prompt, const TextSink& sink,
                         const std::string& system = "Be exact.") {
    return run_turn(kr_, nullptr, conv, prompt, system, tool_defs(), signals_, sink, tools_.services(), connect_);
  }

  ScriptedTools tools_;
  std::vector<ComplianceSignal> signals_;
};

TextSink null_sink() {
  return [](std::string_view) { return Status(); };
}

}  // namespace

// Two tool rounds and a closing answer: the calls run in the order of the
// reply's blocks, each step line reaches the sink right after its call and
// before the next call, results go back in the next request in call order,
// and the answer text is streamed piece by piece.
TEST_F(RunTurn, MultiRoundTurnAgainstThePeer) {
  tools_.replies = {
      {"read_document", {"Rate is 5%", false}},
      {"web_search", {"HTTP 404 page not found", true}},
      {"save_document", {"Saved out/summary.md to SharePoint. Link: https://sp.example/x/summary.md", false}},
  };
  Timeline tl;
  tools_.on_call = [&](const std::string& name) { tl.add("tool:" + name); };

  const SJson save_input = {{"path", "out/summary.md"}, {"content", "STRICTLY INTERNAL figures"}};
  const SJson r1 = reply(SJson::array({text_block("Let me look."),
                                       tool_use("tu_1", "read_document", {{"path", "deals/a.md"}}),
                                       tool_use("tu_2", "web_search", {{"query", "rates"}})}),
                         "tool_use", 100, 20);
  const SJson r2 = reply(SJson::array({tool_use("tu_3", "save_document", save_input)}), "tool_use", 200, 30);
  const SJson r3 = reply(SJson::array({text_block("Saved. "), text_block("All done.")}), "end_turn", 300, 40);
  push_json(r1);
  push_json(r2);
  push_json(r3);

  const Messages conv = {msg("user", "earlier"), msg("assistant", "ok")};
  auto res = run(conv, "Summarise deal A", tl.sink());
  ASSERT_TRUE(res.ok()) << res.message();

  const std::vector<std::string> expected_events = {
      "sink:Let me look.",
      "tool:read_document",
      "sink:" + kGear + "read_document" + kArrow + "ok\t{\"on\":\"deals/a.md\"}\n",
      "tool:web_search",
      "sink:" + kGear + "web_search" + kArrow + "not found\t{\"on\":\"rates\",\"why\":\"HTTP 404 page not found\"}\n",
      "tool:save_document",
      "sink:" + kGear + "save_document" + kArrow +
          "ok\t{\"on\":\"out/summary.md\",\"url\":\"https://sp.example/x/summary.md\"}\n",
      "sink:Saved. ",
      "sink:All done.",
  };
  EXPECT_EQ(tl.events, expected_events);

  ASSERT_EQ(peer_->requests().size(), 3u);
  // The second request, whole: the conversation, the prompt, the first
  // reply and its two results in call order.
  const SJson round1_results = msg("user", SJson::array({result_block("tu_1", "Rate is 5%", false),
                                                          result_block("tu_2", "HTTP 404 page not found", true)}));
  SJson expected2 = {{"model", "claude-sonnet-5"},
                     {"max_tokens", 16000},
                     {"system", "Be exact."},
                     {"tools", tool_defs()},
                     {"messages", SJson::array({conv[0], conv[1], msg("user", "Summarise deal A"),
                                                msg("assistant", r1["content"]), round1_results})}};
  EXPECT_EQ(peer_->requests()[1].body, expected2.dump());
  EXPECT_EQ(request_body(2)["messages"].back(),
            msg("user", SJson::array({result_block(
                            "tu_3", "Saved out/summary.md to SharePoint. Link: https://sp.example/x/summary.md",
                            false)})));

  EXPECT_EQ(res->text, "Let me look.Saved. All done.");
  EXPECT_EQ(res->input_tokens, 600u);
  EXPECT_EQ(res->output_tokens, 90u);
  const Messages expected_msgs = {msg("user", "Summarise deal A"), msg("assistant", r1["content"]), round1_results,
                                  msg("assistant", r2["content"]), request_body(2)["messages"].back(),
                                  msg("assistant", r3["content"])};
  EXPECT_EQ(res->messages, expected_msgs);

  // The save of marked content raised its two signals, in rule order.
  ASSERT_EQ(signals_.size(), 2u);
  EXPECT_EQ(signals_[0].rule, "external_write");
  EXPECT_EQ(signals_[1].rule, "sensitive_content_written");
  ASSERT_EQ(tools_.calls.size(), 3u);
  EXPECT_EQ(tools_.calls[2].input, save_input);
}

// A model that asks for a tool in every reply gets exactly 20 calls; the
// turn ends on the 20th round's results.
TEST_F(RunTurn, StopsAfterTwentyModelCalls) {
  tools_.replies = {{"read_document", {"text", false}}};
  for (int i = 0; i < 21; ++i) {
    push_json(reply(SJson::array({tool_use("tu_" + std::to_string(i), "read_document", {{"path", "a"}})}),
                    "tool_use", 1, 1));
  }
  auto res = run({}, "loop", null_sink());
  ASSERT_TRUE(res.ok()) << res.message();
  EXPECT_EQ(peer_->requests().size(), 20u);
  EXPECT_EQ(tools_.calls.size(), 20u);
  ASSERT_EQ(res->messages.size(), 41u);
  EXPECT_EQ(res->messages.back(), msg("user", SJson::array({result_block("tu_19", "text", false)})));
  EXPECT_EQ(res->input_tokens, 20u);
}

// Under stop reason max_tokens no call runs: each gets the "Not run" result
// and a "cut off" line, and the model is asked again. A max_tokens reply
// without calls ends the turn.
TEST_F(RunTurn, CutOffCallsAreNotRun) {
  push_json(reply(SJson::array({text_block("Drafting"),
                                tool_use("tu_1", "save_document", {{"path", "a.md"}, {"content", "x"}}),
                                tool_use("tu_2", "export_table", {{"to", "t.csv"}})}),
                  "max_tokens"));
  push_json(reply(SJson::array({text_block("Shorter.")}), "max_tokens"));
  Timeline tl;
  auto res = run({}, "write it", tl.sink());
  ASSERT_TRUE(res.ok()) << res.message();
  EXPECT_TRUE(tools_.calls.empty());
  EXPECT_TRUE(signals_.empty());
  const std::vector<std::string> expected_events = {
      "sink:Drafting", "sink:" + kGear + "save_document" + kArrow + "cut off\n",
      "sink:" + kGear + "export_table" + kArrow + "cut off\n", "sink:Shorter."};
  EXPECT_EQ(tl.events, expected_events);
  ASSERT_EQ(peer_->requests().size(), 2u);
  EXPECT_EQ(request_body(1)["messages"].back(),
            msg("user", SJson::array({result_block("tu_1", kNotRunText, true), result_block("tu_2", kNotRunText, true)})));
  EXPECT_EQ(res->messages.size(), 4u);
}

// Tool calls that come with any other stop reason are run and their
// results are sent back, so the history never holds a call without its
// result.
TEST_F(RunTurn, CallsUnderOtherStopReasonsGetTheirResultsSent) {
  for (std::string stop : {"end_turn", "stop_sequence", ""}) {
    SCOPED_TRACE("stop reason '" + stop + "'");
    tools_.calls.clear();
    const size_t before = peer_->requests().size();
    tools_.replies = {{"read_document", {"body", false}}};
    push_json(reply(SJson::array({text_block("Reading. "), tool_use("tu_1", "read_document", {{"path", "a"}})}),
                    stop));
    push_json(reply(SJson::array({text_block("Done.")}), "end_turn"));
    auto res = run({}, "go", null_sink());
    ASSERT_TRUE(res.ok()) << res.message();
    EXPECT_EQ(tools_.calls.size(), 1u);
    ASSERT_EQ(peer_->requests().size(), before + 2);
    const SJson results = msg("user", SJson::array({result_block("tu_1", "body", false)}));
    EXPECT_EQ(request_body(before + 1)["messages"].back(), results);
    ASSERT_EQ(res->messages.size(), 4u);
    EXPECT_EQ(res->messages[2], results);
    EXPECT_EQ(res->messages[3], msg("assistant", SJson::array({text_block("Done.")})));
    EXPECT_EQ(res->text, "Reading. Done.");
  }
}

TEST_F(RunTurn, Failures) {
  // A blank prompt makes no model call.
  auto blank = run({}, " \n\t\n ", null_sink());
  ASSERT_FALSE(blank.ok());
  EXPECT_EQ(blank.message(), "empty prompt");
  EXPECT_TRUE(peer_->requests().empty());

  // A model failure after a tool round: the provider's error text; the
  // round's signal and the text already shown stay with the caller.
  tools_.replies = {{"save_document", {"Saved a.md to SharePoint.", false}}};
  push_json(reply(SJson::array({text_block("Saving."), tool_use("tu_1", "save_document", {{"path", "a.md"}})}),
                  "tool_use"));
  peer_->push(peers::Reply().send(
      peers::http_response(500, "application/json", peers::anthropic_error_body("api_error", "Overloaded"))));
  Timeline tl;
  auto failed = run({}, "save", tl.sink());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.message(), "API 500: Overloaded");
  ASSERT_EQ(signals_.size(), 1u);
  EXPECT_EQ(signals_[0].rule, "external_write");
  ASSERT_EQ(tl.events.size(), 2u);
  EXPECT_EQ(tl.events[0], "sink:Saving.");

  // The sink failing on a step line is ignored; failing on answer text
  // ends the turn.
  const TextSink steps_fail = [](std::string_view s) {
    return s.substr(0, kGear.size()) == kGear ? Status(Error("broken pipe")) : Status();
  };
  tools_.replies = {{"read_document", {"body", false}}};
  push_json(reply(SJson::array({tool_use("tu_1", "read_document", {{"path", "a"}})}), "tool_use"));
  push_json(reply(SJson::array({text_block("Done.")}), "end_turn"));
  auto survived = run({}, "read", steps_fail);
  ASSERT_TRUE(survived.ok()) << survived.message();
  EXPECT_EQ(survived->text, "Done.");

  push_json(reply(SJson::array({text_block("Hello"), tool_use("tu_1", "read_document", {{"path", "a"}})}),
                  "tool_use"));
  tools_.calls.clear();
  const TextSink gone = [](std::string_view) { return Status(Error("connection reset")); };
  auto cut = run({}, "hi", gone);
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.message(), "browser: connection reset");
  EXPECT_TRUE(tools_.calls.empty()) << "nothing after the failed write runs";
}

// The model name comes from CLAUDE_MODEL (an empty value is used as is);
// an empty system prompt is left out of the request.
TEST_F(RunTurn, ModelNameAndSystemInTheRequest) {
  struct Case {
    const char* model_env;  // nullptr: unset
    std::string system;
    std::string want_model;
  };
  const Case cases[] = {{nullptr, "", "claude-sonnet-5"}, {"", "Sys", ""}, {"claude-test-1", "Sys", "claude-test-1"}};
  size_t n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want_model);
    if (c.model_env) {
      ::setenv("CLAUDE_MODEL", c.model_env, 1);
    } else {
      ::unsetenv("CLAUDE_MODEL");
    }
    push_json(reply(SJson::array({text_block("hi")}), "end_turn"));
    auto res = run({}, "hello", null_sink(), c.system);
    ::unsetenv("CLAUDE_MODEL");
    ASSERT_TRUE(res.ok()) << res.message();
    SJson body = request_body(n++);
    EXPECT_EQ(body["model"], c.want_model);
    EXPECT_EQ(body["max_tokens"], 16000);
    EXPECT_EQ(body.contains("system"), !c.system.empty());
    if (!c.system.empty()) {
      EXPECT_EQ(body["system"], c.system);
    }
    EXPECT_EQ(body["tools"], tool_defs());
  }
}

// A picture reply reaches the model as an image block and a text block;
// the step line and the guards see only the text after the picture.
TEST_F(RunTurn, PictureReplyIsSentAsImageAndText) {
  tools_.replies = {{"view_page", {std::string(kImageMarker) + "image/png QUJD" + std::string(kImageMarker) +
                                       "Page 3 of deal.pdf",
                                   false}}};
  push_json(reply(SJson::array({tool_use("tu_1", "view_page", {{"path", "deal.pdf"}, {"page", 3}})}), "tool_use"));
  push_json(reply(SJson::array({text_block("Seen.")}), "end_turn"));
  Timeline tl;
  auto res = run({}, "look", tl.sink());
  ASSERT_TRUE(res.ok()) << res.message();
  const SJson content = SJson::array(
      {SJson{{"type", "image"},
             {"source", SJson{{"type", "base64"}, {"media_type", "image/png"}, {"data", "QUJD"}}}},
       text_block("Page 3 of deal.pdf")});
  EXPECT_EQ(request_body(1)["messages"].back(), msg("user", SJson::array({result_block("tu_1", content, false)})));
  EXPECT_EQ(tl.events[0], "sink:" + kGear + "view_page" + kArrow + "ok\t{\"on\":\"deal.pdf\"}\n");
}

TEST(ToolResultContent, PictureMarkers) {
  const std::string m(kImageMarker);
  struct Case {
    const char* name;
    std::string reply;
    SJson content;
    std::string text;
  };
  const SJson png = SJson{{"type", "image"},
                          {"source", SJson{{"type", "base64"}, {"media_type", "image/png"}, {"data", "QUJD RA=="}}}};
  const Case cases[] = {
      {"plain", "hello", "hello", "hello"},
      {"picture", m + "image/png QUJD RA==" + m + "tail", SJson::array({png, text_block("tail")}), "tail"},
      {"empty tail", m + "image/png QUJD RA==" + m, SJson::array({png, text_block("")}), ""},
      {"no second marker", m + "image/png QUJD", m + "image/png QUJD", m + "image/png QUJD"},
      {"header without a blank", m + "garbage" + m + "rest", "rest", "rest"},
      {"marker not at the start", "x" + m + "image/png QUJD" + m + "t", "x" + m + "image/png QUJD" + m + "t",
       "x" + m + "image/png QUJD" + m + "t"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = tool_result_content(c.reply);
    EXPECT_EQ(got.content, c.content);
    EXPECT_EQ(got.text, c.text);
  }
}

TEST(StepLine, StatusAndDetails) {
  struct Case {
    const char* name;
    std::string tool;
    SJson input;
    std::string text;
    bool is_error;
    std::string want;  // status, tab, JSON
  };
  const std::string long_sql = "select " + std::string(200, 'x');
  const std::string marked = "BLOCKED \u2014 this file's contents are marked internal";
  const Case cases[] = {
      {"mcp server and tool", "query_mcp", {{"server_id", "lake"}, {"params", {{"name", "describe"}}}}, "rows",
       false, "ok\t{\"on\":\"lake \u00b7 describe\"}"},
      {"mcp refusal inside the text", "query_mcp", {{"server_id", "lake"}}, "Result: BLOCKED by grant\nmore",
       false, "blocked\t{\"on\":\"lake\",\"why\":\"BLOCKED by grant\"}"},
      {"refusal that succeeded", "save_document", {{"path", "a.md"}}, marked, false,
       "blocked\t{\"on\":\"a.md\",\"why\":\"" + marked + "\"}"},
      {"spawn without a name", "spawn_agent", {{"task", "t"}}, "spawn failed", true,
       "error\t{\"why\":\"spawn failed\"}"},
      {"subject cut to 160 characters", "datalake_query", {{"sql", long_sql}}, "ok", false,
       "ok\t{\"on\":\"" + long_sql.substr(0, 160) + "\"}"},
      {"why stops at a quote", "read_document", {{"path", "x.md"}}, "  could not open \"x.md\": gone", true,
       "error\t{\"on\":\"x.md\",\"why\":\"could not open\"}"},
      {"404 in a failure", "list_folder", {{"folder", "Deals"}}, "Graph 404\nitemNotFound", true,
       "not found\t{\"on\":\"Deals\",\"why\":\"Graph 404\"}"},
      {"not found in any case", "read_document", {}, "Folder Not Found", true,
       "not found\t{\"why\":\"Folder Not Found\"}"},
      {"404 in a success is ok", "read_document", {}, "page 404 of the book", false, "ok\t{}"},
      {"first non-empty key", "table_query", {{"path", ""}, {"name", "n"}, {"query", "q"}}, "x", false,
       "ok\t{\"on\":\"q\"}"},
      {"link up to white space", "save_document", {{"path", "b.md"}},
       "Saved b.md to SharePoint. Link: https://sp/b.md?x=1\tthen", false,
       "ok\t{\"on\":\"b.md\",\"url\":\"https://sp/b.md?x=1\"}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(step_line(c.tool, c.input, c.text, c.is_error), "\n\u2699 " + c.tool + " \u2192 " + c.want + "\n");
  }
}
