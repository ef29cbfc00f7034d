#include "agent/src/main/mcp_client.hpp"

#include "agent/src/main/http_client.hpp"
#include "agent/src/main/text_push.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr size_t kErrorReplyChars = 500;

}  // namespace

Result<std::string> mcp_call(const Keyring& kr, const std::string& server, const std::string& method,
                             const SJson& params) {
  std::string service = "mcp:" + server;
  auto ep = keyring_endpoint(kr, service);
  if (!ep) return Error("MCP server '" + server + "' not connected");
  std::string request_line = "POST " + keyring_path(kr, service) + " HTTP/1.1";

  SJson body = SJson::object();
  body["id"] = 1;
  body["jsonrpc"] = "2.0";
  body["method"] = method;
  body["params"] = params;
  std::string bytes = to_compact(body);

  auto conn = gateway_connect(ep->ip, ep->host);
  if (!conn) return conn.error();
  if (auto err = keyring_request_head(kr, service, ep->host, request_line,
                                      {{"content-type", "application/json"},
                                       {"accept", "application/json, text/event-stream"}},
                                      bytes, **conn))
    return Error(err->text());
  auto reply = http_exchange(std::move(*conn));
  if (!reply) return reply.error();
  std::string text = utf8_lossy(reply->body);
  if (reply->status < 200 || reply->status > 299) {
    std::string msg = "MCP call failed (HTTP " + std::to_string(reply->status) + "): ";
    push_chars_upto(msg, text, kErrorReplyChars);
    return Error(msg);
  }
  return text;
}

McpOutcome mcp_result_text(const std::string& reply) {
  std::optional<SJson> doc = parse_json<SJson>(reply);
  if (!doc) return {false, reply};
  if (doc->is_object()) {
    auto err = doc->find("error");
    if (err != doc->end()) {
      if (err->is_object()) {
        auto msg = err->find("message");
        if (msg != err->end() && msg->is_string()) return {true, msg->get<std::string>()};
      }
      return {true, "MCP error"};
    }
  }
  McpOutcome out;
  const SJson* content = nullptr;
  if (doc->is_object()) {
    auto result = doc->find("result");
    if (result != doc->end() && result->is_object()) {
      auto c = result->find("content");
      if (c != result->end()) content = &*c;
      auto flag = result->find("isError");
      out.is_error = flag != result->end() && flag->is_boolean() && flag->get<bool>();
    }
  }
  if (content && content->is_array()) {
    bool first = true;
    for (const SJson& item : *content) {
      if (!item.is_object()) continue;
      auto t = item.find("text");
      if (t == item.end() || !t->is_string()) continue;
      if (!first) out.text += '\n';
      out.text += t->get<std::string>();
      first = false;
    }
  } else {
    out.text = reply;
  }
  return out;
}

}  // namespace drovix::agent
