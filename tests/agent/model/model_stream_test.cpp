#include "agent/src/main/model_stream.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "agent/src/main/hooks.hpp"
#include "common/encoding.hpp"
#include "tests/agent/model/model_fixture.hpp"

using namespace drovix;
using namespace drovix::agent;
using modeltest::entry;
using nlohmann::json;

namespace {

constexpr const char* kToken = "relay-token-stream-0123456789";

std::string sse_head(bool chunked) {
  peers::Headers h = {{"content-type", "text/event-stream"}, {"cache-control", "no-cache"}};
  if (chunked) h.emplace_back("transfer-encoding", "chunked");
  return peers::http_head(200, h);
}

std::string bedrock_head() {
  return peers::http_head(200, {{"content-type", "application/vnd.amazon.eventstream"},
                                {"x-amzn-bedrock-content-type", "application/json"}});
}

// Collects what the sink is given.
struct Sink {
  std::mutex mu;
  std::vector<std::string> pieces;
  std::function<void(const std::string&)> on_piece;
  TextSink fn() {
    return [this](std::string_view s) -> Status {
      {
        std::lock_guard lock(mu);
        pieces.emplace_back(s);
      }
      if (on_piece) on_piece(std::string(s));
      return ok_status();
    };
  }
};

class StreamTurn : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = modeltest::start_peer();
    ASSERT_TRUE(peer_);
    connect_ = modeltest::peer_connector(peer_->port());
    hook_events_drain("");
  }
  void use(const std::string& id) {
    std::string host = id == "bedrock" ? modeltest::kBedrockHost : modeltest::kAnthropicHost;
    keyring_insert(kr_, id, entry(host, "/model/m1", "/relay/" + id, "x-drovix-relay", "", kToken));
  }
  Result<StreamedAnswer> run(const std::string& prompt, Sink& sink, const Messages& conv = {},
                             const std::string& system = "sys") {
    return stream_turn(kr_, conv, prompt, system, sink.fn(), connect_);
  }

  Keyring kr_;
  std::unique_ptr<peers::ModelPeer> peer_;
  ServiceConnector connect_;
};

}  // namespace

// The first delta reaches the sink while the peer still holds the second
// back: the reply is handled as it arrives, not when it ends.
TEST_F(StreamTurn, DeltasReachTheSinkAsTheyArrive) {
  for (bool bedrock : {false, true}) {
    SCOPED_TRACE(bedrock ? "bedrock" : "sse");
    kr_.entries.clear();
    use(bedrock ? "bedrock" : "anthropic");
    auto ev = [&](const json& e) { return bedrock ? peers::bedrock_chunk(e) : peers::sse_event(e); };
    peer_->push(peers::Reply()
                    .send((bedrock ? bedrock_head() : sse_head(false)) + ev(peers::message_start(11)) +
                          ev(peers::text_delta("Hel")))
                    .gate(1)
                    .send(ev(peers::text_delta("lo")) + ev(peers::message_delta(3)) + ev(peers::message_stop())));
    Sink sink;
    std::atomic<bool> first_seen_while_held{false};
    sink.on_piece = [&](const std::string& piece) {
      if (piece == "Hel") {
        first_seen_while_held = peer_->wait_at_gate(1, std::chrono::seconds(5));
        peer_->open(1);
      }
    };
    auto r = run("hi", sink);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_TRUE(first_seen_while_held);
    EXPECT_EQ(sink.pieces, (std::vector<std::string>{"Hel", "lo"}));
    EXPECT_EQ(r->text, "Hello");
    EXPECT_EQ(r->input_tokens, 11u);
    EXPECT_EQ(r->output_tokens, 3u);
    peer_ = modeltest::start_peer();  // gates stay open per peer
    connect_ = modeltest::peer_connector(peer_->port());
  }
}

TEST_F(StreamTurn, RequestBytesAndBody) {
  use("bedrock");
  peer_->push(peers::Reply().send(bedrock_head() + peers::bedrock_chunk(peers::message_stop())));
  Sink sink;
  Messages conv = {SJson{{"role", "user"}, {"content", "earlier"}}, SJson{{"role", "assistant"}, {"content", "yes"}}};
  ASSERT_TRUE(run("  next  ", sink, conv, "").ok());
  ASSERT_TRUE(peer_->wait_requests(1));
  std::string body =
      R"({"anthropic_version":"bedrock-2023-05-31","max_tokens":4096,"messages":[{"content":"earlier","role":"user"},)"
      R"({"content":"yes","role":"assistant"},{"content":"  next  ","role":"user"}]})";
  EXPECT_EQ(peer_->requests()[0].raw,
            std::string("POST /relay/bedrock/model/m1/invoke-with-response-stream HTTP/1.1\r\n") +
                "host: " + modeltest::kBedrockHost + "\r\ncontent-type: application/json\r\n"
                "accept: application/vnd.amazon.eventstream\r\ncontent-length: " + std::to_string(body.size()) +
                "\r\nconnection: close\r\nx-drovix-relay: " + kToken + "\r\n\r\n" + body);

  kr_.entries.clear();
  use("anthropic");
  setenv("CLAUDE_MODEL", "claude-peer", 1);
  peer_->push(peers::Reply().send(sse_head(false) + peers::sse_event(peers::message_stop())));
  ASSERT_TRUE(run("q", sink, {}, "Be brief.").ok());
  unsetenv("CLAUDE_MODEL");
  ASSERT_TRUE(peer_->wait_requests(2));
  auto req = peer_->requests()[1];
  EXPECT_EQ(req.request_line, "POST /relay/anthropic/v1/messages HTTP/1.1");
  EXPECT_EQ(req.headers[3], (std::pair<std::string, std::string>{"accept", "text/event-stream"}));
  EXPECT_EQ(req.body,
            R"({"max_tokens":4096,"messages":[{"content":"q","role":"user"}],"model":"claude-peer","stream":true,)"
            R"("system":"Be brief."})");

  // The PreApiCall and PreResponse points were logged for both turns.
  auto events = hook_events_drain("s");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0]["tool"], "messages (stream)");
  EXPECT_EQ(events[1]["hook"], "PreResponse");
  EXPECT_EQ(events[1]["tool"], "stream");
  EXPECT_EQ(events[1]["detail"], "0 chunks · 0 chars");
}

// Chunked SSE with CRLF lines, chunk and write boundaries inside lines and
// inside a multi-byte character; a comment, a non-JSON line and a tool-input
// delta are skipped; the last message_delta wins.
TEST_F(StreamTurn, ChunkedCrlfSplitAcrossWrites) {
  use("anthropic");
  std::string events = ": keep-alive\r\n" + peers::sse_event(peers::message_start(7), true) +
                       "data: not json\r\n\r\n" +
                       peers::sse_event(json{{"type", "content_block_delta"},
                                             {"delta", {{"type", "input_json_delta"}, {"partial_json", "{"}}}},
                                        true) +
                       peers::sse_event(peers::text_delta("Grüße"), true) + peers::sse_event(peers::message_delta(1), true) +
                       peers::sse_event(peers::text_delta(", world"), true) +
                       peers::sse_event(peers::message_delta(9), true) + peers::sse_event(peers::message_stop(), true);
  size_t cut1 = events.find("Gr") + 3;  // inside "ü"
  size_t cut2 = events.find(", world") + 2;
  peers::Reply reply;
  reply.send(sse_head(true));
  reply.send(peers::http_chunk(events.substr(0, cut1)));
  reply.pause(std::chrono::milliseconds(30));
  std::string c2 = peers::http_chunk(events.substr(cut1, cut2 - cut1));
  reply.send(c2.substr(0, 3)).pause(std::chrono::milliseconds(30)).send(c2.substr(3));
  reply.send(peers::http_chunk(events.substr(cut2)) + peers::http_last_chunk());
  peer_->push(reply);
  Sink sink;
  auto r = run("hi", sink);
  ASSERT_TRUE(r.ok()) << r.message();
  EXPECT_EQ(r->text, "Grüße, world");
  EXPECT_EQ(sink.pieces, (std::vector<std::string>{"Grüße", ", world"}));
  EXPECT_EQ(r->input_tokens, 7u);
  EXPECT_EQ(r->output_tokens, 9u);
  auto ev = hook_events_drain("s");
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.back()["detail"], "2 chunks · 12 chars");
}

// A reply that ends early keeps what came; a last line without a line feed
// is never handled.
TEST_F(StreamTurn, EndsWithoutMessageStop) {
  use("anthropic");
  peer_->push(peers::Reply().send(sse_head(false) + peers::sse_event(peers::text_delta("partial")) +
                                  "data: " + peers::text_delta(" lost").dump()));
  Sink sink;
  auto r = run("hi", sink);
  ASSERT_TRUE(r.ok()) << r.message();
  EXPECT_EQ(r->text, "partial");
}

TEST_F(StreamTurn, Failures) {
  use("anthropic");
  Sink sink;
  struct Case {
    const char* name;
    peers::Reply reply;
    std::string error;
    std::vector<std::string> pieces;
  };
  std::string err_body = peers::anthropic_error_body("overloaded_error", "Overloaded");
  std::string chunked_err = peers::http_head(529, {{"transfer-encoding", "chunked"}}) +
                            peers::http_chunk(err_body.substr(0, 9)) + peers::http_chunk(err_body.substr(9)) +
                            peers::http_last_chunk();
  std::vector<Case> cases;
  cases.push_back({"error event after text",
                   peers::Reply().send(sse_head(false) + peers::sse_event(peers::text_delta("so far")) +
                                       peers::sse_event(peers::stream_error("overloaded_error", "Overloaded"))),
                   "Overloaded", {"so far"}});
  cases.push_back({"error event without message",
                   peers::Reply().send(sse_head(false) + peers::sse_event(json{{"type", "error"}})),
                   "stream error", {}});
  cases.push_back({"status with chunked error body", peers::Reply().send(chunked_err), "API 529: Overloaded", {}});
  cases.push_back({"status with AWS error body",
                   peers::Reply().send(peers::http_response(403, "application/json", peers::aws_error_body("denied"))),
                   "API 403: denied", {}});
  cases.push_back({"chunk cut short",
                   peers::Reply().send(sse_head(true) + "400\r\n" + peers::sse_event(peers::text_delta("x"))),
                   "chunk: ", {"x"}});
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    peer_->push(c.reply);
    Sink s;
    auto r = run("hi", s);
    ASSERT_FALSE(r.ok());
    if (c.error == "chunk: ")
      EXPECT_EQ(r.message().rfind("chunk: ", 0), 0u) << r.message();
    else
      EXPECT_EQ(r.message(), c.error);
    EXPECT_EQ(s.pieces, c.pieces);
  }

  // A sink that can no longer write ends the turn.
  peer_->push(peers::Reply().send(sse_head(false) + peers::sse_event(peers::text_delta("x"))));
  auto r = stream_turn(kr_, {}, "hi", "", [](std::string_view) -> Status { return Error("Broken pipe"); }, connect_);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "browser: Broken pipe");

  // A blank prompt never connects.
  size_t before = peer_->requests().size();
  r = run(" \n\t ", sink);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "empty prompt");
  EXPECT_EQ(peer_->requests().size(), before);
}

TEST_F(StreamTurn, BedrockFrames) {
  use("bedrock");
  // Frames split across writes, an exception frame after text.
  std::string frames = peers::bedrock_chunk(peers::message_start(4)) + peers::bedrock_chunk(peers::text_delta("ab")) +
                       peers::bedrock_chunk(peers::text_delta("cd"));
  size_t cut = frames.size() - 20;
  peer_->push(peers::Reply()
                  .send(bedrock_head() + frames.substr(0, 5))
                  .pause(std::chrono::milliseconds(30))
                  .send(frames.substr(5, cut - 5))
                  .pause(std::chrono::milliseconds(30))
                  .send(frames.substr(cut) + peers::bedrock_exception("throttlingException", "Too many requests")));
  Sink sink;
  auto r = run("hi", sink);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "Bedrock: Too many requests");
  EXPECT_EQ(sink.pieces, (std::vector<std::string>{"ab", "cd"}));

  // A frame whose lengths cannot hold it.
  std::string bad = peers::bedrock_chunk(peers::text_delta("zz"));
  uint32_t hl = static_cast<uint32_t>(bad.size() - 15);  // headers length + 16 > total length
  for (int i = 0; i < 4; ++i) bad[4 + i] = static_cast<char>(hl >> (24 - 8 * i));
  peer_->push(peers::Reply().send(bedrock_head() + bad));
  Sink s2;
  r = run("hi", s2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message(), "bad event-stream frame");

  // A "bytes" payload that is not a JSON event.
  std::string payload = json{{"bytes", base64_encode("{oops")}}.dump();
  peer_->push(peers::Reply().send(bedrock_head() + peers::eventstream_frame({{":event-type", "chunk"}}, payload)));
  Sink s3;
  r = run("hi", s3);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.message().rfind("stream event: ", 0), 0u) << r.message();
}

// The frame reader on its own: waiting for the rest of a frame, frames
// without "bytes" or a message, and Base64 with padding, line breaks and the
// URL-safe alphabet.
TEST(EventStreamFrame, PartialAndLenientFrames) {
  StreamState st;
  std::vector<std::string> got;
  st.sink = [&](std::string_view s) -> Status {
    got.emplace_back(s);
    return ok_status();
  };
  std::string text = "é?>~ ok";  // Base64 of its event holds "+" and "/"
  std::string b64 = base64_encode(peers::text_delta(text).dump());
  std::string wrapped;
  for (size_t i = 0; i < b64.size(); i += 10) wrapped += b64.substr(i, 10) + "\r\n";
  std::string urlsafe = b64;
  for (char& c : urlsafe) c = c == '+' ? '-' : c == '/' ? '_' : c;
  while (!urlsafe.empty() && urlsafe.back() == '=') urlsafe.pop_back();

  std::string stream = peers::eventstream_frame({}, json{{"bytes", wrapped}}.dump()) +
                       peers::eventstream_frame({}, json{{"other", 1}}.dump()) +
                       peers::eventstream_frame({}, "not json at all") +
                       peers::eventstream_frame({{":event-type", "chunk"}}, json{{"bytes", urlsafe}}.dump());
  ASSERT_NE(b64.find_first_of("+/"), std::string::npos);
  st.pending = stream.substr(0, 11);
  ASSERT_TRUE(eventstream_frame(st).ok());
  EXPECT_EQ(st.pending.size(), 11u);
  st.pending += stream.substr(11, 30);
  ASSERT_TRUE(eventstream_frame(st).ok());
  EXPECT_TRUE(got.empty()) << "a frame announced longer than what came waits";
  st.pending += stream.substr(41);
  ASSERT_TRUE(eventstream_frame(st).ok());
  EXPECT_TRUE(st.pending.empty());
  EXPECT_EQ(got, (std::vector<std::string>{text, text}));
  EXPECT_EQ(st.chunks, 2u);
}
