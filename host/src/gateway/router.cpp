#include "host/src/gateway/router.hpp"

#include "common/crypto.hpp"
#include "common/text.hpp"
#include "host/src/gateway/agent_ops.hpp"
#include "host/src/gateway/archive_save.hpp"
#include "host/src/gateway/audit.hpp"
#include "host/src/gateway/grants.hpp"
#include "host/src/gateway/mcp_server.hpp"
#include "host/src/main/config.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

constexpr size_t kAgentsBodyLimit = 8 * 1024 * 1024;

HttpResponse unauthorized() { return json_response(401, OJson{{"error", "unauthorized"}}); }
HttpResponse not_found() { return json_response(404, OJson{{"error", "not found"}}); }

// The bearer token of the request against mcp.token, read afresh; an empty
// or missing token file lets nobody in.
bool authorized(const HttpRequest& req) {
  std::string token = read_text_trimmed(host_config().certs + "/mcp.token").value_or("");
  if (token.empty()) return false;
  return constant_time_equal(header(req, "authorization").value_or(""), "Bearer " + token);
}

const OJson* member(const OJson& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace

HttpResponse route_gateway_request(const HttpRequest& req) {
  const std::string& caller = req.peer;
  if (req.method == "GET" && req.path == "/healthz") return json_response(200, OJson{{"ok", true}});
  if (!authorized(req)) return unauthorized();

  if (req.method == "GET") {
    if (starts_with(req.path, "/v1/grants/snapshot")) return json_response(200, grants_snapshot());
    return not_found();
  }
  if (req.method != "POST") return not_found();

  std::optional<OJson> parsed = parse_json<OJson>(req.body.empty() ? std::string_view("{}") : req.body);
  if (!parsed) return json_response(400, OJson{{"error", "bad json"}});
  OJson body = object_or_empty(&*parsed);

  if (starts_with(req.path, "/v1/agents/")) {
    if (req.body.size() > kAgentsBodyLimit) return json_response(413, OJson{{"error", "result too large"}});
    auto [status, reply] = handle_agents_call(req.path.substr(11), caller, body);
    return json_response(status, reply);
  }
  if (req.path == "/v1/events") return json_response(202, ingest_agent_events(body, caller));
  if (req.path == "/v1/snapshots/save") {
    const OJson* transcript = member(body, "transcript");
    const OJson* manifest = member(body, "manifest");
    auto [status, reply] = save_session_archive(json_to_text(member(body, "name")),
                                                transcript ? *transcript : OJson(nullptr), json_flag(body, "create_only"),
                                                json_to_text(member(body, "session_id")),
                                                manifest ? *manifest : OJson(nullptr));
    return json_response(status, reply);
  }
  return json_response(200, handle_mcp_request(body, caller));
}

}  // namespace drovix::host
