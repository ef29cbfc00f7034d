#include "agent/src/main/model_request.hpp"

#include <cstdlib>

#include "agent/src/main/hooks.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

size_t array_size_at(const ModelRequest& body, const char* key) {
  if (!body.is_object()) return 0;
  auto it = body.find(key);
  return it != body.end() && it->is_array() ? it->size() : 0;
}

}  // namespace

std::string model_name() {
  const char* env = std::getenv("CLAUDE_MODEL");
  return env ? env : kDefaultModel;
}

ModelRequest model_request_body(int max_tokens, const std::string& system, const SJson* tools, SJson messages,
                         bool stream) {
  SJson body = SJson::object();
  body["model"] = model_name();
  body["max_tokens"] = max_tokens;
  if (!system.empty()) body["system"] = system;
  if (tools) body["tools"] = *tools;
  body["messages"] = std::move(messages);
  if (stream) body["stream"] = true;
  return body;
}

std::string choose_provider(const Keyring& kr) {
  if (keyring_contains(kr, "bedrock")) return "bedrock";
  if (keyring_contains(kr, "private")) return "private";
  return "anthropic";
}

SJson adapt_body(const std::string& provider, const ModelRequest& body) {
  SJson out = body;
  if (!out.is_object()) return out;
  if (provider == "bedrock") {
    out.erase("model");
    out.erase("stream");
    out["anthropic_version"] = kBedrockVersion;
  } else if (provider == "private") {
    if (!out.contains("temperature")) out["temperature"] = 0.2;
    if (!out.contains("thinking")) out["thinking"] = SJson{{"type", "disabled"}};
  }
  return out;
}

ProviderHead provider_head(const std::string& provider, const std::string& path, bool stream) {
  ProviderHead h;
  if (provider == "bedrock") {
    h.request_line = "POST " + path + "/" + (stream ? "invoke-with-response-stream" : "invoke") + " HTTP/1.1";
    h.headers = {{"content-type", "application/json"},
                 {"accept", stream ? "application/vnd.amazon.eventstream" : "application/json"}};
  } else {
    h.request_line = "POST /v1/messages HTTP/1.1";
    h.headers = {{"anthropic-version", "2023-06-01"}, {"content-type", "application/json"}};
    if (stream) h.headers.emplace_back("accept", "text/event-stream");
  }
  return h;
}

const ServiceConnector& default_connector() {
  static const ServiceConnector c = [](const std::string& ip, const std::string& host) {
    return gateway_connect(ip, host);
  };
  return c;
}

Result<ProviderConnection> provider_request(const Keyring& kr, const ModelRequest& body, bool stream) {
  return provider_request(kr, body, stream, default_connector());
}

Result<ProviderConnection> provider_request(const Keyring& kr, const ModelRequest& body, bool stream,
                                            const ServiceConnector& connect) {
  std::string provider = choose_provider(kr);
  auto endpoint = keyring_endpoint(kr, provider);
  if (!endpoint) return Error("no model credential in keyring");

  std::string bytes = to_compact(adapt_body(provider, body));
  ProviderHead head = provider_head(provider, provider == "bedrock" ? keyring_path(kr, provider) : "", stream);

  auto conn = connect(endpoint->ip, endpoint->host);
  if (!conn) return conn.error();
  if (auto err = keyring_request_head(kr, provider, endpoint->host, head.request_line, head.headers, bytes,
                                      **conn))
    return Error(err->text());
  return ProviderConnection{std::move(*conn), provider == "bedrock"};
}

Status pre_api_call_hook(const ModelRequest& body, const std::string& label) {
  if (!hook_state().switches[static_cast<size_t>(HookKind::PreApiCall)]) return ok_status();
  std::string text = to_compact(body);
  size_t system_chars = 0;
  if (body.is_object()) {
    auto sys = body.find("system");
    if (sys != body.end() && sys->is_string()) system_chars = char_count(sys->get_ref<const std::string&>());
  }
  std::string detail = std::to_string(array_size_at(body, "messages")) + " messages · " +
                       std::to_string(array_size_at(body, "tools")) + " tools · system " +
                       std::to_string(system_chars) + " chars · " + std::to_string(text.size()) + " bytes";
  run_policy_hook(HookKind::PreApiCall, label, text, std::move(detail));
  return ok_status();
}

Result<SJson> call_model(const Keyring& kr, const ModelRequest& body, const std::string& hook_label) {
  return call_model(kr, body, hook_label, default_connector());
}

Result<SJson> call_model(const Keyring& kr, const ModelRequest& body, const std::string& hook_label,
                         const ServiceConnector& connect) {
  if (auto st = pre_api_call_hook(body, hook_label); !st) return st.error();
  auto pc = provider_request(kr, body, false, connect);
  if (!pc) return pc.error();
  auto reply = http_exchange(std::move(pc->conn));
  if (!reply) return reply.error();
  if (reply->status != 200) return Error(provider_error_text(reply->status, reply->body));
  try {
    return SJson::parse(reply->body);
  } catch (const SJson::exception& e) {
    return Error(std::string("parse: ") + e.what());
  }
}

std::string provider_error_text(uint16_t status, std::string_view body) {
  SJson v = parse_json<SJson>(body).value_or(SJson());
  const SJson* found = nullptr;
  if (v.is_object()) {
    auto err = v.find("error");
    if (err != v.end() && err->is_object() && err->contains("message")) {
      found = &(*err)["message"];
    } else if (v.contains("message")) {
      found = &v["message"];
    } else if (v.contains("Message")) {
      found = &v["Message"];
    }
  }
  std::string message = found && found->is_string() ? found->get<std::string>() : "request failed";
  return "API " + std::to_string(status) + ": " + message;
}

}  // namespace drovix::agent
