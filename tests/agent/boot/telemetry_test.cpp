#include "agent/src/main/telemetry.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "agent/src/main/event_id.hpp"
#include "agent/src/main/hooks.hpp"
#include "tests/agent/boot/boot_fixture.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::agent;
using drovix::SJson;

namespace {

std::string header_value(const peers::RecordedRequest& r, const std::string& name) {
  for (const auto& [k, v] : r.headers)
    if (k == name) return v;
  return "<absent>";
}

// Replaces every occurrence of from in s.
std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
  return s;
}

}  // namespace

TEST(EventId, Version4LayoutAndUniqueWithinTheProcess) {
  const std::regex layout("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 5000; ++i) {
    std::string id = new_event_id();
    ASSERT_TRUE(std::regex_match(id, layout)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 5000u);
}

TEST(TurnBatch, TimesCostAndTextLimits) {
  // The end equal to the start still gives the answer a later time.
  AuditBatch same = turn_batch("s1", "hi", "hello", "m", 1000, 2000, 5000, 5000, {}, {});
  ASSERT_EQ(same.events.size(), 2u);
  EXPECT_EQ(same.events[0].ts, 5000u);
  EXPECT_EQ(same.events[1].ts, 5001u);
  ASSERT_TRUE(same.events[1].usage);
  EXPECT_EQ(same.events[1].usage->duration_ms, 1);
  EXPECT_EQ(same.events[1].usage->cost_usd, 33000u);
  EXPECT_FALSE(same.events[0].usage);
  EXPECT_NE(same.events[0].event_id, same.events[1].event_id);
  // Nothing raised and nothing logged: both lists are still there.
  EXPECT_EQ(drovix::to_compact(audit_batch_json(same)).find("\"hooks\":[]") != std::string::npos, true);
  EXPECT_EQ(drovix::to_compact(audit_batch_json(same)).find("\"signals\":[]") != std::string::npos, true);

  // A clock that went backwards gives the same one-millisecond turn.
  AuditBatch back = turn_batch("s1", "a", "b", "", 0, 0, 9000, 100, {}, {});
  EXPECT_EQ(back.events[1].ts, 9001u);
  EXPECT_EQ(back.events[1].usage->duration_ms, 1);

  // Texts are cut by characters, never inside one.
  std::string ascii(9000, 'x');
  std::string euros;
  for (int i = 0; i < 8100; ++i) euros += "\u20ac";
  AuditBatch cut = turn_batch("s", ascii, euros, "", 0, 0, 1, 2, {}, {});
  EXPECT_EQ(cut.events[0].text, std::string(8000, 'x'));
  EXPECT_EQ(cut.events[1].text.size(), 8000u * 3);
  EXPECT_EQ(cut.events[1].text.substr(0, 3), "\u20ac");
}

// A whole turn report as the gateway receives it: the request, the body
// byte for byte (keys sorted), and the lines printed.
TEST(SendTelemetry, TurnReportAsTheGatewayReceivesIt) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  boottest::with_certs(certs.path(), [&] {
    auto gw = boottest::start_gateway(certs.path());
    ASSERT_TRUE(gw);
    gw->push(peers::Reply().send(boottest::gateway_reply(202, R"J({"accepted":2,"hooks":1,"signals":1})J")));
    auto kr = boottest::gateway_keyring();
    std::vector<ComplianceSignal> signals{new_signal("external_write", "low",
                                                     "Document written to external store (SharePoint)",
                                                     "wrote /Reports/q3.docx", "to")};
    std::vector<SJson> hooks{{{"decision", "allow"},
                              {"detail", "2 messages"},
                              {"hook", "PreApiCall"},
                              {"session_id", "sess-9"},
                              {"tool", ""},
                              {"ts", 1700000000100u}}};
    testing::internal::CaptureStdout();
    send_telemetry(*kr, "sess-9", "What changed?", "Two clauses.", "claude-x", 10, 20, 1700000000000u,
                   1700000000250u, signals, hooks);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "signals: 1 raised this turn\ntelemetry -> /v1/events: HTTP/1.1 202 Status\n");

    auto reqs = gw->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].request_line, "POST /v1/events HTTP/1.1");
    EXPECT_EQ(header_value(reqs[0], "authorization"), std::string("Bearer ") + boottest::kGatewayToken);
    EXPECT_EQ(header_value(reqs[0], "content-type"), "application/json");
    EXPECT_EQ(header_value(reqs[0], "host"), "localhost");

    auto sent = drovix::parse_json<SJson>(reqs[0].body);
    ASSERT_TRUE(sent);
    std::string user_id = (*sent)["events"][0]["event_id"];
    std::string answer_id = (*sent)["events"][1]["event_id"];
    std::string signal_id = (*sent)["signals"][0]["signal_id"];
    std::string expected =
        R"J({"events":[)J"
        R"J({"agent":"drovix-agent (unikernel)","agent_version":"umbrix-0.3","event_id":"U","event_type":"user_prompt",)J"
        R"J("host":"fleet-umbrix","model":"claude-x","session_id":"sess-9","text":"What changed?","ts":1700000000000},)J"
        R"J({"agent":"drovix-agent (unikernel)","agent_version":"umbrix-0.3","cost_usd":330,"duration_ms":250,)J"
        R"J("event_id":"A","event_type":"assistant","host":"fleet-umbrix","input_tokens":10,"model":"claude-x",)J"
        R"J("output_tokens":20,"session_id":"sess-9","text":"Two clauses.","ts":1700000000250}],)J"
        R"J("hooks":[{"decision":"allow","detail":"2 messages","hook":"PreApiCall","session_id":"sess-9","tool":"",)J"
        R"J("ts":1700000000100}],)J"
        R"J("signals":[{"detail":"wrote /Reports/q3.docx","event_id":"A","field":"to","host":"fleet-umbrix",)J"
        R"J("match_len":0,"match_offset":0,"os_user":"appliance","rule":"external_write","session_id":"sess-9",)J"
        R"J("severity":"low","signal_id":"S","title":"Document written to external store (SharePoint)",)J"
        R"J("ts":1700000000250}]})J";
    expected = replace_all(replace_all(replace_all(expected, "\"U\"", "\"" + user_id + "\""), "\"A\"",
                                       "\"" + answer_id + "\""),
                           "\"S\"", "\"" + signal_id + "\"");
    EXPECT_EQ(reqs[0].body, expected);
    EXPECT_NE(signal_id, answer_id);
  });
}

TEST(SendTelemetry, FailuresArePrintedOnceAndNothingIsRetried) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  boottest::with_certs(certs.path(), [&] {
    // No "telemetry" service: one line, no connection.
    Keyring empty;
    testing::internal::CaptureStdout();
    send_telemetry(empty, "s", "p", "a", "", 0, 0, 1, 2, {new_signal("r", "low", "t", "d", "f")}, {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "telemetry: no credential \u2014 skipping\n");

    // Nobody listening at the gateway.
    auto kr = boottest::gateway_keyring();
    testing::internal::CaptureStdout();
    send_telemetry(*kr, "s", "p", "a", "", 0, 0, 1, 2, {}, {});
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("telemetry connect: connect: ", 0), 0u) << printed;

    // A prompt quoting a stored credential is refused before a byte leaves.
    auto gw = boottest::start_gateway(certs.path());
    ASSERT_TRUE(gw);
    testing::internal::CaptureStdout();
    send_telemetry(*kr, "s", std::string("my token is ") + boottest::kGatewayToken, "a", "", 0, 0, 1, 2, {}, {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "telemetry blocked: blocked: a stored credential appeared in outbound content\n");
    // The connection carried no request.
    EXPECT_FALSE(gw->wait_requests(1, std::chrono::milliseconds(300)));
  });
}

TEST(SendSignals, OneImmediateSignalForTheWorkspace) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  boottest::with_certs(certs.path(), [&] {
    auto gw = boottest::start_gateway(certs.path());
    ASSERT_TRUE(gw);
    gw->push(peers::Reply().send(boottest::gateway_reply(202, R"J({"accepted":0,"hooks":0,"signals":1})J")));
    auto kr = boottest::gateway_keyring();
    testing::internal::CaptureStdout();
    send_signals(*kr, "workspace_staged", "low", "Files staged into the sealed workspace", "12 files");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    auto reqs = gw->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].request_line, "POST /v1/events HTTP/1.1");
    auto sent = drovix::parse_json<SJson>(reqs[0].body);
    ASSERT_TRUE(sent);
    const SJson& rec = (*sent)["signals"][0];
    std::string expected = std::string(R"J({"events":[],"signals":[{"detail":"12 files","event_id":")J") +
                           rec["event_id"].get<std::string>() +
                           R"J(","field":"workspace","host":"fleet-umbrix","match_len":0,"match_offset":0,)J"
                           R"J("os_user":"appliance","rule":"workspace_staged","session_id":"workspace","severity":"low",)J"
                           R"J("signal_id":")J" +
                           rec["signal_id"].get<std::string>() +
                           R"J(","title":"Files staged into the sealed workspace","ts":)J" +
                           std::to_string(rec["ts"].get<uint64_t>()) + "}]}";
    EXPECT_EQ(reqs[0].body, expected);
    EXPECT_GT(rec["ts"].get<uint64_t>(), 1600000000000u);
  });
}
