#include "agent/src/main/statesink.hpp"

#include <gtest/gtest.h>

#include "tests/agent/boot/boot_fixture.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::agent;
using drovix::SJson;

namespace {

std::shared_ptr<SharedSession> session_with(std::vector<ChatTurn> turns, std::string summary = "",
                                            size_t summary_upto = 0, bool resume_folded = false) {
  auto s = std::make_shared<SharedSession>();
  s->state.turns = std::move(turns);
  s->state.summary = std::move(summary);
  s->state.summary_upto = summary_upto;
  s->state.resume_folded = resume_folded;
  return s;
}

}  // namespace

TEST(SessionTranscript, SummaryResumedTextAndUnsummarisedTurns) {
  AgentSetup resumed;
  resumed.resumed = ResumedSession{"User: old\n\nAssistant: older  \n\n", "Q2"};
  AgentSetup fresh;
  std::vector<ChatTurn> turns{{"one", "1"}, {"two", "2"}, {"three", "3"}};
  struct Case {
    const char* name;
    const AgentSetup& setup;
    std::shared_ptr<SharedSession> session;
    std::string expected;
  };
  const Case cases[] = {
      {"turns only", fresh, session_with(turns), "User: one\n\nAssistant: 1\n\nUser: two\n\nAssistant: 2\n\nUser: three\n\nAssistant: 3"},
      {"summary, resumed text, the turns after the summary", resumed, session_with(turns, "  gist \n", 2),
       "=== SUMMARY OF EARLIER CONVERSATION (compacted) ===\ngist\n=== END SUMMARY ===\n\n"
       "User: old\n\nAssistant: older\n\nUser: three\n\nAssistant: 3"},
      {"every turn summarised, resumed text folded in", resumed, session_with(turns, "gist", 3, true),
       "=== SUMMARY OF EARLIER CONVERSATION (compacted) ===\ngist\n=== END SUMMARY ==="},
      {"nothing yet", fresh, session_with({}), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(session_transcript(c.setup, *c.session), c.expected) << c.name;
}

TEST(ManifestFileEntry, TheAgentsOwnFilesAreLeftOut) {
  EXPECT_FALSE(manifest_file_entry("notes/a.md", "agent:note", 3, "fp", "text"));
  EXPECT_FALSE(manifest_file_entry("tables/t", "derived:join", 3, "fp", "csv"));
  auto e = manifest_file_entry("Q3/a.csv", "sharepoint:/Reports/Q3/a.csv", 1234, "00ff", "csv");
  ASSERT_TRUE(e);
  EXPECT_EQ(drovix::to_compact(manifest_entry_json(*e)),
            R"J({"fp":"00ff","kind":"csv","path":"Q3/a.csv","size":1234,"src":"sharepoint:/Reports/Q3/a.csv"})J");
}

TEST(StatesinkSave, NothingToSaveOpensNoConnection) {
  // No gateway and no "statesink" service: the empty session fails first.
  Keyring empty;
  AgentSetup setup;
  auto session = session_with({});
  auto r = statesink_save(empty, setup, *session, "x", false);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.message(), "nothing to save yet");
  AgentSetup blank_resume;
  blank_resume.resumed = ResumedSession{" \n ", "old"};
  EXPECT_EQ(statesink_save(empty, blank_resume, *session, "x", false).message(), "nothing to save yet");
  auto one = session_with({{"hi", "hello"}});
  EXPECT_EQ(statesink_save(empty, setup, *one, "x", false).message(), "state sink not connected");
}

TEST(StatesinkSave, RequestAndRepliesOfTheGateway) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  boottest::with_certs(certs.path(), [&] {
    auto gw = boottest::start_gateway(certs.path());
    ASSERT_TRUE(gw);
    auto kr = boottest::gateway_keyring();
    AgentSetup setup;
    setup.prior_manifest = SJson::parse(R"J([{"fp":"ab","kind":"csv","path":"a.csv","size":5,"src":"sp:a.csv"}])J");
    auto session = session_with({{"hi", "hello"}});

    gw->push(peers::Reply().send(
        boottest::gateway_reply(200, R"J({"bytes":10,"name":"q3-review","timestamp":"2025-01-02 03:04:05","versions":1})J")));
    auto ok = statesink_save(*kr, setup, *session, "Q3 review", true);
    ASSERT_TRUE(ok) << ok.message();
    EXPECT_EQ(ok->name, "q3-review");
    EXPECT_EQ(ok->timestamp, "2025-01-02 03:04:05");
    auto reqs = gw->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].request_line, "POST /v1/snapshots/save HTTP/1.1");
    EXPECT_EQ(reqs[0].body,
              R"J({"create_only":true,"manifest":[{"fp":"ab","kind":"csv","path":"a.csv","size":5,"src":"sp:a.csv"}],)J"
              R"J("name":"Q3 review","transcript":"User: hi\n\nAssistant: hello"})J");

    struct Case {
      const char* name;
      std::string reply;
      std::string error;  // empty: success
      std::string timestamp;
    };
    const Case cases[] = {
        {"200 without a timestamp", boottest::gateway_reply(200, R"J({"name":"n"})J"), "", ""},
        {"409 with the gateway's text",
         boottest::gateway_reply(409, R"J({"error":"An archive named 'n' already exists. Pick a new name."})J"),
         "An archive named 'n' already exists. Pick a new name.", ""},
        {"500 without JSON", peers::http_response(500, "text/plain", "boom"), "archive gateway HTTP 500", ""},
        {"403 whose error is not a text", boottest::gateway_reply(403, R"J({"error":7})J"), "archive gateway HTTP 403", ""},
    };
    for (const auto& c : cases) {
      gw->push(peers::Reply().send(c.reply));
      auto r = statesink_save(*kr, setup, *session, "n", false);
      if (c.error.empty()) {
        ASSERT_TRUE(r) << c.name << ": " << r.message();
        EXPECT_EQ(r->name, "n") << c.name;
        EXPECT_EQ(r->timestamp, c.timestamp) << c.name;
      } else {
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.message(), c.error) << c.name;
      }
    }
  });
}

TEST(GrantsAllowExport, WhichGrantsCount) {
  struct Case {
    const char* reply;
    bool allowed;
  };
  const Case cases[] = {
      {R"J({"grants":[{"label":"SharePoint:EXPORT","scope":[]}]})J", true},
      {R"J({"grants":[{"label":"desk:rates","scope":[{"value":"x","label":"y"}]},
                     {"label":"other","scope":[{"value":"sharepoint:export","label":"policy"}]}]})J", true},
      {R"J({"grants":[{"label":"sharepoint:export (policy: no grant needed)","scope":[{"value":"sharepoint:export"}]}]})J", true},
      {R"J({"grants":[{"label":"l","scope":[{"value":7,"label":"may SHAREPOINT:EXPORT now"}]}]})J", true},
      {R"J({"grants":[{"label":"desk:rates","scope":[{"value":"lake:rates","label":"rates"}]}]})J", false},
      {R"J({"generated_at":"now","gated":true})J", false},
      {R"J({"grants":{"label":"sharepoint:export"}})J", false},
      {R"J([])J", false},
  };
  for (const auto& c : cases) EXPECT_EQ(grants_allow_export(SJson::parse(c.reply)), c.allowed) << c.reply;
}

TEST(FetchGrants, AsksTheGatewayAndAnswersFalseOnEveryFailure) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  boottest::with_certs(certs.path(), [&] {
    Keyring empty;
    EXPECT_FALSE(fetch_grants(empty));

    auto kr = boottest::gateway_keyring();
    EXPECT_FALSE(fetch_grants(*kr)) << "nobody listening";

    auto gw = boottest::start_gateway(certs.path());
    ASSERT_TRUE(gw);
    const std::string export_grant =
        R"J({"gated":false,"generated_at":"t","grants":[{"label":"sharepoint:export (policy: no grant needed)",)J"
        R"J("scope":[{"label":"SharePoint export","value":"sharepoint:export"}]}]})J";
    gw->push(peers::Reply().send(boottest::gateway_reply(200, export_grant)));
    EXPECT_TRUE(fetch_grants(*kr));
    auto reqs = gw->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].raw, std::string("GET /v1/grants/snapshot HTTP/1.1\r\nhost: localhost\r\naccept: application/json\r\n"
                                       "content-length: 0\r\nconnection: close\r\nauthorization: Bearer ") +
                               boottest::kGatewayToken + "\r\n\r\n");

    gw->push(peers::Reply().send(boottest::gateway_reply(500, export_grant)));
    EXPECT_FALSE(fetch_grants(*kr)) << "an error status";
    gw->push(peers::Reply().send(peers::http_response(200, "text/plain", "sharepoint:export")));
    EXPECT_FALSE(fetch_grants(*kr)) << "not JSON";
  });
}
