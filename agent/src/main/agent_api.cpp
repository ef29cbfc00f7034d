#include "agent/src/main/agent_api.hpp"

#include <mutex>

#include "agent/src/main/certs_files.hpp"
#include "agent/src/main/clip.hpp"
#include "agent/src/main/hooks.hpp"
#include "agent/src/main/http_client.hpp"
#include "agent/src/main/http_helpers.hpp"
#include "agent/src/main/statesink.hpp"
#include "common/crypto.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr size_t kProgressLogBytes = 40000;

const char* reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 501: return "Not Implemented";
    default: return "OK";
  }
}

// Stands in for the chat page until the page itself is served from here.
constexpr const char* kPlaceholderPage =
    "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Drovix agent</title></head>\n"
    "<body><p>This agent is running. Its chat page is not part of this build.</p></body></html>\n";

// The last bytes of a log, the cut moved forward to a character boundary.
std::string log_tail(const std::string& log, size_t max) {
  if (log.size() <= max) return log;
  size_t at = log.size() - max;
  while (at < log.size() && (static_cast<unsigned char>(log[at]) & 0xC0) == 0x80) ++at;
  return log.substr(at);
}

SJson subagent_progress(const AgentContext& ctx) {
  const auto& child = *ctx.setup->role.child;
  std::lock_guard lock(ctx.session->board_mu);
  const SubAgentBoard& b = ctx.session->board;
  SJson j = SJson::object();
  j["log"] = utf8_lossy(log_tail(b.log, kProgressLogBytes));
  j["name"] = child.child_name;
  j["status"] = b.status;
  j["task"] = child.task;
  return j;
}

SJson launch_settings() {
  static const char* const kKeys[] = {"datalake_desk", "workspace_folder", "share_workspace", "llm"};
  std::optional<SJson> doc;
  if (auto text = read_text_file(certs_file("appliance.json"))) doc = parse_json<SJson>(*text);
  SJson j = SJson::object();
  for (const char* key : kKeys) {
    SJson v;  // null
    if (doc && doc->is_object()) {
      auto it = doc->find(key);
      if (it != doc->end()) v = *it;
    }
    j[key] = std::move(v);
  }
  return j;
}

SJson hook_switch_map() {
  HookState& hs = hook_state();
  SJson j = SJson::object();
  for (size_t i = 0; i < kHookKinds; ++i) j[hook_switch_key(static_cast<HookKind>(i))] = hs.switches[i];
  return j;
}

SJson parse_body(const std::string& body) { return parse_json<SJson>(body).value_or(SJson()); }

AgentReply agents_reply(const AgentContext& ctx) {
  unsigned max = ctx.setup->role.subagents;
  if (max == 0) return json_reply({{"agents", SJson::array()}, {"max", 0}});
  SJson delivered = SJson::array();
  {
    std::lock_guard lock(ctx.session->board_mu);
    for (const auto& d : ctx.session->board.delivered) {
      SJson e = SJson::object();
      e["name"] = d.is_object() && d.contains("name") ? d["name"] : SJson();
      e["paths"] = d.is_object() && d.contains("paths") ? d["paths"] : SJson();
      delivered.push_back(std::move(e));
    }
  }
  auto reply = post_agents_op(*ctx.keyring, "list", SJson::object());
  if (!reply) return json_reply({{"error", reply.message()}, {"max", max}});
  SJson agents = reply->is_object() && reply->contains("agents") ? (*reply)["agents"] : SJson();
  return json_reply({{"agents", std::move(agents)}, {"delivered", std::move(delivered)}, {"max", max}});
}

AgentReply spawn_reply(const AgentContext& ctx, const SJson& body) {
  std::string task = trim_unicode(utf8_lossy(json_get_str(body, "task")));
  if (ctx.setup->role.subagents == 0) return json_reply({{"error", "This agent was launched without sub-agents."}});
  if (task.empty()) return json_reply({{"error", "Usage: /agent <task for the sub-agent>"}});
  // The request for a child: with a workspace shared with children, its
  // copy joins this body once workspaces exist.
  SJson request = {{"name", ""}, {"origin", "user"}, {"task", task}};
  auto reply = post_agents_op(*ctx.keyring, "spawn", request);
  if (!reply) return json_reply({{"error", reply.message()}});
  std::string name = reply->is_object() ? json_get_str(*reply, "name") : std::string();
  {
    std::lock_guard lock(ctx.session->board_mu);
    ctx.session->board.statuses[name] = "running";
    ctx.session->board.pending.push_back("- The user started sub-agent \"" + name +
                                         "\" with /agent. Its task: " + truncate_chars(task, 600));
  }
  return json_reply(*reply);
}

AgentReply datalake_reply(const AgentContext& ctx) {
  if (!keyring_endpoint(*ctx.keyring, "mcp:datalake"))
    return json_reply(
        {{"error", "The Data Lake isn't enabled for this agent. Launch one with the Data Lake MCP switched on."}});
  // The table list comes through the agent's MCP client once it is part of
  // this build.
  return json_reply({{"error", "MCP server 'datalake' not connected"}});
}

AgentReply save_snapshot_reply(const AgentContext& ctx, const SJson& body) {
  const AgentSetup& setup = *ctx.setup;
  std::string name = trim_unicode(utf8_lossy(json_get_str(body, "name")));
  std::string current;
  {
    std::lock_guard lock(ctx.session->state_mu);
    current = ctx.session->state.archive;
  }
  bool create_only;
  if (name.empty()) {
    if (setup.ephemeral)
      return json_reply({{"error",
                          "Ephemeral session: nothing is saved. Use /save-snapshot <new-name> to branch this "
                          "conversation into a new archive."}},
                        409);
    if (current.empty())
      return json_reply({{"error", "This session has no archive yet. Use /save-snapshot <name>."}}, 409);
    name = current;
    create_only = false;
  } else {
    create_only = setup.ephemeral || name != current;
  }
  auto saved = statesink_save(*ctx.keyring, setup, *ctx.session, name, create_only);
  if (!saved) return json_reply({{"error", saved.message()}}, 409);
  if (!setup.ephemeral) {
    std::lock_guard lock(ctx.session->state_mu);
    ctx.session->state.archive = name;
    ctx.session->state.unsaved = false;
    ctx.session->state.last_saved = saved->timestamp;
  }
  return json_reply({{"ephemeral", setup.ephemeral}, {"name", name}, {"timestamp", saved->timestamp}});
}

// Receiving a child's result belongs to the sub-agent support, which this
// build does not have yet.
AgentReply deliver_reply(const AgentContext&, const SJson&) {
  return json_reply({{"error", "this agent does not take sub-agent results yet"}});
}

}  // namespace

uint64_t parse_content_length(std::string_view v) {
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  if (v.empty() || v.size() > 19) return 0;
  uint64_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  return n;
}

std::optional<std::string> request_header(std::string_view head, std::string_view name) {
  size_t pos = 0;
  while (pos <= head.size()) {
    size_t end = head.find("\r\n", pos);
    std::string_view line = head.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      std::string key = trim_unicode(line.substr(0, colon));
      if (iequals_ascii(key, name)) return trim_unicode(line.substr(colon + 1));
    }
    if (end == std::string_view::npos) break;
    pos = end + 2;
  }
  return std::nullopt;
}

Result<AgentRequest> read_agent_request(ByteStream& in) {
  std::string buf;
  size_t cap = kRequestCap;
  std::optional<size_t> head_end;  // position of "\r\n\r\n"
  size_t want = 0;
  char chunk[kRequestReadChunk];
  for (;;) {
    if (head_end && buf.size() >= want) break;
    if (buf.size() > cap) break;
    auto r = in.read_some(chunk, sizeof chunk);
    if (!r) return r.error();
    if (*r == 0) break;
    buf.append(chunk, *r);
    if (!head_end) {
      size_t at = buf.find("\r\n\r\n");
      if (at != std::string::npos) {
        head_end = at;
        std::string head = utf8_lossy(std::string_view(buf).substr(0, at));
        uint64_t length = parse_content_length(request_header(head, "content-length").value_or(""));
        if (starts_with(head, "POST /api/deliver ")) cap = kDeliverCap;
        // Anything past the cap is never waited for.
        want = at + 4 + static_cast<size_t>(std::min<uint64_t>(length, kDeliverCap + 1));
      }
    }
  }
  AgentRequest req;
  if (!head_end) return req;
  req.head = utf8_lossy(std::string_view(buf).substr(0, *head_end));
  req.body = buf.substr(*head_end + 4);
  std::string_view line = req.head;
  line = line.substr(0, line.find("\r\n"));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
  size_t i = 0;
  auto word = [&] {
    while (i < line.size() && is_space(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    return std::string(line.substr(start, i - start));
  };
  req.method = word();
  req.path = word();
  return req;
}

AgentReply json_reply(const SJson& body, int status) {
  AgentReply r;
  r.status = status;
  r.body = to_compact(body);
  return r;
}

std::string reply_bytes(const AgentReply& r) {
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason_phrase(r.status) + "\r\n";
  if (r.page)
    out += "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n";
  else
    out += "Content-Type: " + r.content_type + "\r\n";
  out += "Content-Length: " + std::to_string(r.body.size()) + "\r\nConnection: close\r\n\r\n";
  out += r.body;
  return out;
}

bool flush_token_ok(std::string_view head) {
  auto token = read_text_file(certs_file("flush.token"));
  if (!token || token->empty()) return false;
  auto presented = request_header(head, "x-flush-token");
  if (!presented) return false;
  return constant_time_equal(*presented, *token);
}

SJson session_info_json(const AgentContext& ctx) {
  const AgentSetup& setup = *ctx.setup;
  std::lock_guard lock(ctx.session->state_mu);
  const SessionState& st = ctx.session->state;
  SJson turns = SJson::array();
  for (const auto& t : st.turns) turns.push_back({{"a", t.assistant}, {"u", t.user}});
  SJson j = SJson::object();
  j["resume"] = setup.resumed.has_value();
  j["snapshot"] = setup.resumed ? setup.resumed->name : std::string();
  j["audit"] = setup.audit;
  j["onedrive"] = setup.onedrive;
  j["archive"] = st.archive;
  j["mode"] = setup.mode;
  j["ephemeral"] = setup.ephemeral;
  j["last_saved"] = st.last_saved;
  j["unsaved"] = st.unsaved;
  j["turns"] = std::move(turns);
  j["summary_upto"] = st.summary_upto;
  j["compactions"] = st.compactions;
  j["skills"] = setup.skills.has_value();
  // The workspace's status shows here once workspaces are part of this build.
  j["workspace"] = SJson();
  j["datalake"] = keyring_endpoint(*ctx.keyring, "mcp:datalake").has_value();
  j["web"] = keyring_endpoint(*ctx.keyring, "mcp:websearch").has_value();
  j["launch"] = launch_settings();
  j["hooks"] = hook_switch_map();
  j["subagents"] = setup.role.subagents;
  j["child"] = setup.role.child ? subagent_progress(ctx) : SJson();
  return j;
}

SJson flush_session(const AgentContext& ctx) {
  std::string archive;
  bool unsaved;
  {
    std::lock_guard lock(ctx.session->state_mu);
    archive = ctx.session->state.archive;
    unsaved = ctx.session->state.unsaved;
  }
  if (ctx.setup->ephemeral) return {{"reason", "ephemeral"}, {"saved", false}};
  if (archive.empty()) return {{"reason", "no archive"}, {"saved", false}};
  if (!unsaved) return {{"archive", archive}, {"reason", "up to date"}, {"saved", false}};
  auto saved = statesink_save(*ctx.keyring, *ctx.setup, *ctx.session, archive, false);
  if (!saved) return {{"reason", saved.message()}, {"saved", false}};
  {
    std::lock_guard lock(ctx.session->state_mu);
    ctx.session->state.unsaved = false;
    ctx.session->state.last_saved = saved->timestamp;
  }
  return {{"archive", archive}, {"saved", true}, {"timestamp", saved->timestamp}};
}

std::optional<AgentReply> route_request(const AgentRequest& req, const AgentContext& ctx) {
  const std::string& m = req.method;
  const std::string& p = req.path;
  if (m == "GET") {
    if (p == "/" || starts_with(p, "/?")) {
      AgentReply r;
      r.page = true;
      r.body = kPlaceholderPage;
      return r;
    }
    if (p == "/api/session-info") return json_reply(session_info_json(ctx));
    if (p == "/api/agents") return agents_reply(ctx);
    if (p == "/api/datalake") return datalake_reply(ctx);
    return std::nullopt;
  }
  if (m != "POST") return std::nullopt;
  if (p == "/api/chat") {
    // Chat turns are served from here once the chat turn is part of this build.
    return json_reply({{"error", "chat is not available in this build"}}, 501);
  }
  if (p == "/api/save-snapshot") return save_snapshot_reply(ctx, parse_body(req.body));
  if (p == "/api/agents/spawn") return spawn_reply(ctx, parse_body(req.body));
  if (p == "/api/deliver" || p == "/api/flush") {
    if (!flush_token_ok(req.head)) return json_reply({{"error", "forbidden"}}, 403);
    if (p == "/api/flush") return json_reply(flush_session(ctx));
    return deliver_reply(ctx, parse_body(req.body));
  }
  return std::nullopt;
}

Status handle_connection(ByteStream& conn, const AgentContext& ctx) {
  auto req = read_agent_request(conn);
  if (!req) return req.error();
  auto reply = route_request(*req, ctx);
  return write_to_client(conn, reply ? reply_bytes(*reply) : std::string(kNotFoundReply));
}

}  // namespace drovix::agent
