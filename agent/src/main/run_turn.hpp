#pragma once
// A chat turn with tools: the model is called, the tools it asks for run
// one after another, their results go back in the next request, and so on
// until the model stops asking or 20 model calls have been made. Answer
// text and one step line per tool call reach the caller's sink as they
// arise; the turn guards add audit signals to the caller's list.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/src/main/keyring.hpp"
#include "agent/src/main/messages.hpp"
#include "agent/src/main/model_request.hpp"
#include "agent/src/main/model_stream.hpp"
#include "agent/src/main/telemetry.hpp"
#include "agent/src/main/tool_call.hpp"
#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::agent {

inline constexpr int kTurnMaxTokens = 16000;
inline constexpr unsigned kTurnRoundLimit = 20;

// The result sent for a tool call whose input the output limit cut off.
inline constexpr const char* kNotRunText =
    "Not run: your response reached the output length limit before this tool call was complete, so its input "
    "was cut off. Retry with shorter content, or split the work (for a long document: save a first part, then "
    "save the full document once it fits).";

// Opens and closes the picture a tool reply may carry.
inline constexpr std::string_view kImageMarker = "\x01IMAGE\x01";

struct TurnResult {
  std::string text;  // every answer text block of the turn, joined as is
  uint64_t input_tokens = 0;
  uint64_t output_tokens = 0;
  Messages messages;  // the prompt message and every message the turn added
};

// Answers one prompt. The conversation is read, not changed. Errors:
// "empty prompt", the model call's error text unchanged, and "browser: {}"
// when the sink fails on answer text (a failure on a step line is
// ignored).
Result<TurnResult> run_turn(const Keyring& kr, WorkspaceStore* ws, const Messages& conversation,
                            const std::string& prompt, const std::string& system, const SJson& tools,
                            std::vector<ComplianceSignal>& signals, const TextSink& sink,
                            const ToolServices& services);
Result<TurnResult> run_turn(const Keyring& kr, WorkspaceStore* ws, const Messages& conversation,
                            const std::string& prompt, const std::string& system, const SJson& tools,
                            std::vector<ComplianceSignal>& signals, const TextSink& sink,
                            const ToolServices& services, const ServiceConnector& connect);

// A tool reply as the model gets it: a reply that carries a picture
// becomes an image block and a text block, and the text is what follows
// the picture; any other reply is sent as its text.
struct ToolResultContent {
  SJson content;
  std::string text;
};
ToolResultContent tool_result_content(std::string text);

// The line shown for a call that ran: "\n⚙ {tool} → {status}\t{json}\n",
// the JSON holding the call's subject ("on"), a link it produced ("url")
// and, when it did not succeed, the reason ("why").
std::string step_line(const std::string& name, const SJson& input, const std::string& text, bool is_error);

}  // namespace drovix::agent
