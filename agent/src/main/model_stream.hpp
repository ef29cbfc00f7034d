#pragma once
// A chat turn without tools, answered by one streamed model call. The reply
// comes as server-sent events (Anthropic, private server) or as Bedrock's
// binary event stream; each text delta reaches the sink as soon as it has
// been parsed.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "agent/src/main/keyring.hpp"
#include "agent/src/main/messages.hpp"
#include "agent/src/main/model_request.hpp"
#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::agent {

// Takes one piece of answer text; fails when the reader has gone.
using TextSink = std::function<Status(std::string_view)>;

// What one streamed reply has given so far.
struct StreamState {
  std::string pending;  // bytes received and not yet consumed
  std::string answer;
  uint64_t input_tokens = 0;
  uint64_t output_tokens = 0;
  bool done = false;  // "message_stop" seen
  uint64_t chunks = 0;  // text deltas received
  TextSink sink;
};

struct StreamedAnswer {
  std::string text;
  uint64_t input_tokens = 0;
  uint64_t output_tokens = 0;
};

// One turn: the conversation plus the prompt as a new user message, streamed
// from the provider; the answer text and token counts.
Result<StreamedAnswer> stream_turn(const Keyring& kr, const Messages& conversation, const std::string& prompt,
                                   const std::string& system, const TextSink& sink);
Result<StreamedAnswer> stream_turn(const Keyring& kr, const Messages& conversation, const std::string& prompt,
                                   const std::string& system, const TextSink& sink,
                                   const ServiceConnector& connect);

// Consumes every complete server-sent-event line of the pending bytes.
Status sse_lines(StreamState& st);
// Consumes every complete event-stream frame of the pending bytes.
Status eventstream_frame(StreamState& st);
// Applies one stream event.
Status sse_event(const SJson& event, StreamState& st);

// Base64 in either alphabet; every other character (padding, line breaks)
// is skipped, and trailing bits short of a byte are dropped.
std::string base64_decode_lenient(std::string_view text);

}  // namespace drovix::agent
