#pragma once
// Requests to the model provider: Anthropic's Messages API, Amazon Bedrock
// or a private model server, whichever the keyring holds. Every request is
// written through the keyring, which adds the relay path and the
// credential and refuses content that carries a stored secret.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "agent/src/main/http_client.hpp"
#include "agent/src/main/keyring.hpp"
#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::agent {

// The JSON body of one model call (model, max_tokens, system, tools,
// messages, stream), written with its keys in ascending order.
using ModelRequest = SJson;

inline constexpr const char* kDefaultModel = "claude-sonnet-5";
inline constexpr const char* kBedrockVersion = "bedrock-2023-05-31";

// CLAUDE_MODEL when set, else the default model.
std::string model_name();

// A request body as the callers build it: the model (model_name),
// max_tokens, "system" only when not empty, "tools" only when given,
// "messages", and "stream" true only for a streamed call.
ModelRequest model_request_body(int max_tokens, const std::string& system, const SJson* tools, SJson messages,
                         bool stream);

// "bedrock" when the keyring holds it, else "private" when it holds that,
// else "anthropic".
std::string choose_provider(const Keyring& kr);

// The provider's copy of a request body: Bedrock names the model by its
// path, so "model" and "stream" go and "anthropic_version" comes; the
// private server gets temperature 0.2 and thinking disabled unless the
// caller set them; Anthropic takes the body as it is.
SJson adapt_body(const std::string& provider, const ModelRequest& body);

struct ProviderHead {
  std::string request_line;
  HeaderPairs headers;
};
// The request line and headers for the provider; `path` is the Bedrock
// entry's base path.
ProviderHead provider_head(const std::string& provider, const std::string& path, bool stream);

// An open connection with the request written, and whether the reply comes
// as Bedrock's binary event stream.
struct ProviderConnection {
  std::unique_ptr<ServiceConnection> conn;
  bool is_bedrock = false;
};

// Opens the TLS connection to a keyring entry (ip, host).
using ServiceConnector =
    std::function<Result<std::unique_ptr<ServiceConnection>>(const std::string& ip, const std::string& host)>;
// gateway_connect.
const ServiceConnector& default_connector();

// Chooses the provider, adapts a copy of the body, connects and writes the
// request. The caller's body is not changed.
Result<ProviderConnection> provider_request(const Keyring& kr, const ModelRequest& body, bool stream);
Result<ProviderConnection> provider_request(const Keyring& kr, const ModelRequest& body, bool stream,
                                            const ServiceConnector& connect);

// The PreApiCall hook point: logs "{} messages · {} tools · system {} chars
// · {} bytes" under the label when its switch is on. Never fails.
Status pre_api_call_hook(const ModelRequest& body, const std::string& label);

// One complete, non-streaming model call; the reply's JSON.
Result<SJson> call_model(const Keyring& kr, const ModelRequest& body, const std::string& hook_label);
Result<SJson> call_model(const Keyring& kr, const ModelRequest& body, const std::string& hook_label,
                         const ServiceConnector& connect);

// "API {status}: {message}" from whichever of "/error/message", "message"
// and "Message" the reply holds first; "request failed" when that is not a
// string or none is there.
std::string provider_error_text(uint16_t status, std::string_view body);

}  // namespace drovix::agent
