#include "agent/src/main/agent_api.hpp"

#include <gtest/gtest.h>

#include "tests/agent/boot/boot_fixture.hpp"
#include "tests/agent/main/mem_stream.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::agent;
using drovix::SJson;

namespace {

constexpr const char* kFlushToken = "3f1e0c9a8b7d6e5f40312a2b3c4d5e6f708192a3b4c5d6e7";

std::string post(const std::string& path, const std::string& body, const std::string& extra_headers = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: agent\r\n" + extra_headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string json_head(const std::string& status_line, size_t length) {
  return "HTTP/1.1 " + status_line + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(length) +
         "\r\nConnection: close\r\n\r\n";
}

std::string json_bytes(const std::string& status_line, const std::string& body) {
  return json_head(status_line, body.size()) + body;
}

struct Agent {
  AgentContext ctx;
  explicit Agent(AgentSetup setup = {}, std::shared_ptr<Keyring> kr = std::make_shared<Keyring>()) {
    ctx.keyring = std::move(kr);
    ctx.setup = std::make_shared<const AgentSetup>(std::move(setup));
    ctx.session = std::make_shared<SharedSession>();
  }
  // One request through the whole handler; the reply's bytes.
  std::string serve(const std::string& request) const {
    agenttest::ScriptedStream conn(request, 4096);
    EXPECT_TRUE(handle_connection(conn, ctx).ok());
    return conn.out;
  }
  SessionState state() const {
    std::lock_guard lock(ctx.session->state_mu);
    return ctx.session->state;
  }
  void set_state(const std::string& archive, bool unsaved, std::vector<ChatTurn> turns = {{"hi", "hello"}}) {
    std::lock_guard lock(ctx.session->state_mu);
    ctx.session->state.archive = archive;
    ctx.session->state.unsaved = unsaved;
    ctx.session->state.turns = std::move(turns);
  }
};

}  // namespace

TEST(ReadAgentRequest, HeadWordsAndBody) {
  agenttest::ScriptedStream s("GET  /api/session-info   HTTP/1.1\r\nX: 1\r\n\r\n");
  auto r = read_agent_request(s);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->method, "GET");
  EXPECT_EQ(r->path, "/api/session-info");
  EXPECT_EQ(r->head, "GET  /api/session-info   HTTP/1.1\r\nX: 1");

  // The body is everything read after the blank line, whatever
  // Content-Length says.
  agenttest::ScriptedStream more("POST /api/flush HTTP/1.1\r\nContent-Length: 2\r\n\r\nabcdef", 4096);
  auto m = read_agent_request(more);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->body, "abcdef");

  // Without a blank line there is no head: the request is not routed.
  agenttest::ScriptedStream headless("GET / HTTP/1.1\r\nHost: a\r\n");
  auto h = read_agent_request(headless);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->method, "");
  EXPECT_EQ(h->path, "");

  agenttest::ScriptedStream broken("GET / HTT");
  broken.end_with_error(drovix::ErrorKind::Tls, "tls: bad record mac");
  auto b = read_agent_request(broken);
  ASSERT_FALSE(b);
  EXPECT_EQ(b.message(), "tls: bad record mac");
}

TEST(ReadAgentRequest, SizeCaps) {
  // Any request stops being read after the first read that passes 1 MiB.
  std::string big(3 * kRequestCap, 'x');
  agenttest::ScriptedStream chat(post("/api/chat", big), kRequestReadChunk);
  auto c = read_agent_request(chat);
  ASSERT_TRUE(c);
  size_t head = post("/api/chat", big).size() - big.size();
  EXPECT_GT(head + c->body.size(), kRequestCap);
  EXPECT_LE(head + c->body.size(), kRequestCap + kRequestReadChunk);

  // A delivery may carry up to 8 MiB and is read whole within it.
  std::string six_mib(6 * kRequestCap, 'y');
  agenttest::ScriptedStream deliver(post("/api/deliver", six_mib), kRequestReadChunk);
  auto d = read_agent_request(deliver);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->body.size(), six_mib.size());

  std::string nine_mib(9 * kRequestCap, 'z');
  agenttest::ScriptedStream over(post("/api/deliver", nine_mib), kRequestReadChunk);
  auto o = read_agent_request(over);
  ASSERT_TRUE(o);
  EXPECT_LT(o->body.size(), kDeliverCap + kRequestReadChunk);
  EXPECT_GT(o->body.size(), kDeliverCap - 200);

  // Only the exact "POST /api/deliver " head gets the larger cap.
  agenttest::ScriptedStream near(post("/api/deliverx", six_mib), kRequestReadChunk);
  auto n = read_agent_request(near);
  ASSERT_TRUE(n);
  EXPECT_LE(n->body.size(), kRequestCap + kRequestReadChunk);
}

TEST(RequestHeader, LookupAndContentLength) {
  const std::string head = "POST / HTTP/1.1\r\nno colon here\r\n  X-Flush-TOKEN :  abc \r\nx-flush-token: second\r\nA:";
  EXPECT_EQ(request_header(head, "x-flush-token"), std::optional<std::string>("abc"));
  EXPECT_EQ(request_header(head, "a"), std::optional<std::string>(""));
  EXPECT_EQ(request_header(head, "missing"), std::nullopt);

  const std::pair<const char*, uint64_t> lengths[] = {
      {"12", 12}, {"+12", 12}, {"0", 0}, {"++1", 0}, {"-1", 0}, {"1a", 0}, {"", 0}, {" 5", 0},
      {"99999999999999999999", 0}, {"18446744073709551615", 0},
  };
  for (const auto& [text, value] : lengths) EXPECT_EQ(parse_content_length(text), value) << text;
}

TEST(AgentRoutes, PageNotFoundAndChatPlaceholder) {
  Agent agent;
  std::string page = agent.serve("GET /?session=1 HTTP/1.1\r\n\r\n");
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                       "Content-Length: ",
                       0),
            0u)
      << page;
  EXPECT_NE(page.find("\r\nConnection: close\r\n\r\n<!doctype html>"), std::string::npos);
  EXPECT_EQ(agent.serve("GET / HTTP/1.1\r\n\r\n"), page);

  for (const char* req : {"GET /index.html HTTP/1.1\r\n\r\n", "GET /api/session-info/ HTTP/1.1\r\n\r\n",
                          "get /api/session-info HTTP/1.1\r\n\r\n", "PUT /api/flush HTTP/1.1\r\n\r\n",
                          "GET /api/flush HTTP/1.1\r\n\r\n", "no head at all"})
    EXPECT_EQ(agent.serve(req), kNotFoundReply) << req;

  std::string chat = agent.serve(post("/api/chat", R"J({"prompt":"hi"})J"));
  EXPECT_EQ(chat.rfind("HTTP/1.1 501 Not Implemented\r\nContent-Type: application/json\r\n", 0), 0u) << chat;
  EXPECT_NE(chat.find("{\"error\":"), std::string::npos);
}

TEST(AgentRoutes, SessionInfo) {
  testbed::TempDir certs;
  testbed::write_text(certs / "appliance.json",
                      R"J({"datalake_desk":"rates","llm":{"id":"x"},"workspace_folder":"/Reports/"})J");
  boottest::with_certs(certs.path(), [&] {
    AgentSetup setup;
    setup.resumed = ResumedSession{"old text", "Q2 close"};
    setup.skills = "Be brief.";
    setup.role.subagents = 3;
    auto kr = std::make_shared<Keyring>();
    keyring_insert(*kr, "mcp:datalake", KeyringEntry{"h", "10.0.9.1", "authorization", "Bearer ", "/", "", "s"});
    Agent agent(setup, kr);
    agent.set_state("q3", true, {{"u1", "a1"}, {"u2", "a2"}});
    std::string reply = agent.serve("GET /api/session-info HTTP/1.1\r\n\r\n");
    const std::string body =
        R"J({"archive":"q3","audit":true,"child":null,"compactions":0,"datalake":true,"ephemeral":false,)J"
        R"J("hooks":{"post_tool_use":true,"pre_api_call":true,"pre_response":true,"pre_tool_use":true,)J"
        R"J("user_prompt_submit":true},"last_saved":"",)J"
        R"J("launch":{"datalake_desk":"rates","llm":{"id":"x"},"share_workspace":null,"workspace_folder":"/Reports/"},)J"
        R"J("mode":"new","onedrive":"rw","resume":true,"skills":true,"snapshot":"Q2 close","subagents":3,)J"
        R"J("summary_upto":0,"turns":[{"a":"a1","u":"u1"},{"a":"a2","u":"u2"}],"unsaved":true,"web":false,)J"
        R"J("workspace":null})J";
    EXPECT_EQ(reply, json_bytes("200 OK", body));

    // A child shows its progress: the log's last 40,000 bytes, cut forward
    // to a whole character.
    AgentSetup child;
    child.role.child = AgentRole::Child{"checker", "check the totals"};
    Agent kid(child);
    {
      std::lock_guard lock(kid.ctx.session->board_mu);
      kid.ctx.session->board.status = "working";
      kid.ctx.session->board.log = "\u00e9" + std::string(39999, 'l');  // 40,001 bytes
    }
    auto info = session_info_json(kid.ctx);
    EXPECT_EQ(info["child"]["name"], "checker");
    EXPECT_EQ(info["child"]["task"], "check the totals");
    EXPECT_EQ(info["child"]["status"], "working");
    EXPECT_EQ(info["child"]["log"], std::string(39999, 'l'));
  });
}

TEST(AgentRoutes, FlushAndDeliverNeedTheFlushToken) {
  testbed::TempDir certs;
  boottest::with_certs(certs.path(), [&] {
    Agent agent;
    const std::string forbidden = json_bytes("403 Forbidden", R"J({"error":"forbidden"})J");
    for (const char* path : {"/api/flush", "/api/deliver"}) {
      // No token file at all: nothing the caller presents is accepted.
      EXPECT_EQ(agent.serve(post(path, "{}", std::string("x-flush-token: ") + kFlushToken + "\r\n")), forbidden);
    }
    testbed::write_text("/certs/flush.token", std::string(kFlushToken) + "\n");
    const std::string bad_headers[] = {
        "",
        "x-flush-token: \r\n",
        "x-flush-token: 3f1e0c9a8b7d6e5f40312a2b3c4d5e6f708192a3b4c5d6e\r\n",    // one character short
        "x-flush-token: 3f1e0c9a8b7d6e5f40312a2b3c4d5e6f708192a3b4c5d6e8\r\n",   // last character differs
        "x-flush-token: 3f1e0c9a8b7d6e5f40312a2b3c4d5e6f708192a3b4c5d6e7a\r\n",  // one too many
        "x-flush: 3f1e0c9a8b7d6e5f40312a2b3c4d5e6f708192a3b4c5d6e7\r\n",
    };
    for (const char* path : {"/api/flush", "/api/deliver"})
      for (const auto& h : bad_headers) EXPECT_EQ(agent.serve(post(path, "{}", h)), forbidden) << path << " " << h;

    // The right token, in any letter case of the name and padded.
    const std::string good = std::string("X-Flush-Token:  ") + kFlushToken + " \r\n";
    EXPECT_EQ(agent.serve(post("/api/flush", "not json", good)),
              json_bytes("200 OK", R"J({"reason":"no archive","saved":false})J"));
    std::string delivered = agent.serve(post("/api/deliver", R"J({"name":"c","files":[]})J", good));
    EXPECT_EQ(delivered.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << delivered;

    // An empty token file refuses everything too.
    testbed::write_text("/certs/flush.token", " \n");
    EXPECT_EQ(agent.serve(post("/api/flush", "{}", "x-flush-token: \r\n")), forbidden);
  });
}

TEST(AgentRoutes, FlushSavesOnlyWhatIsUnsaved) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  testbed::write_text(certs / "flush.token", kFlushToken);
  boottest::with_certs(certs.path(), [&] {
    auto gw = boottest::start_gateway(certs.path());
    ASSERT_TRUE(gw);
    const std::string token = std::string("x-flush-token: ") + kFlushToken + "\r\n";
    auto flush = [&](const Agent& a) { return a.serve(post("/api/flush", "", token)); };

    AgentSetup ephemeral;
    ephemeral.ephemeral = true;
    Agent eph(ephemeral, boottest::gateway_keyring());
    eph.set_state("q3", true);
    EXPECT_EQ(flush(eph), json_bytes("200 OK", R"J({"reason":"ephemeral","saved":false})J"));

    Agent agent(AgentSetup{}, boottest::gateway_keyring());
    agent.set_state("q3", false);
    EXPECT_EQ(flush(agent), json_bytes("200 OK", R"J({"archive":"q3","reason":"up to date","saved":false})J"));

    agent.set_state("q3", true);
    gw->push(peers::Reply().send(boottest::gateway_reply(200, R"J({"name":"q3","timestamp":"2025-05-06 07:08:09"})J")));
    EXPECT_EQ(flush(agent),
              json_bytes("200 OK", R"J({"archive":"q3","saved":true,"timestamp":"2025-05-06 07:08:09"})J"));
    ASSERT_EQ(gw->requests().size(), 1u);
    auto sent = drovix::parse_json<SJson>(gw->requests()[0].body);
    ASSERT_TRUE(sent);
    EXPECT_EQ((*sent)["create_only"], false);
    EXPECT_EQ((*sent)["name"], "q3");
    EXPECT_FALSE(agent.state().unsaved);
    EXPECT_EQ(agent.state().last_saved, "2025-05-06 07:08:09");
    // Right after a save there is nothing new.
    EXPECT_EQ(flush(agent), json_bytes("200 OK", R"J({"archive":"q3","reason":"up to date","saved":false})J"));

    // A failed save says why and keeps the session unsaved.
    agent.set_state("q3", true);
    gw->push(peers::Reply().send(boottest::gateway_reply(500, R"J({"error":"archive store is full"})J")));
    EXPECT_EQ(flush(agent), json_bytes("200 OK", R"J({"reason":"archive store is full","saved":false})J"));
    EXPECT_TRUE(agent.state().unsaved);
  });
}

TEST(AgentRoutes, SaveSnapshotNamesAndCreateOnly) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  boottest::with_certs(certs.path(), [&] {
    auto gw = boottest::start_gateway(certs.path());
    ASSERT_TRUE(gw);
    auto saved_ok = [&](const std::string& name) {
      gw->push(peers::Reply().send(
          boottest::gateway_reply(200, R"J({"name":")J" + name + R"J(","timestamp":"2025-01-01 00:00:00"})J")));
    };
    auto last_create_only = [&] {
      auto reqs = gw->requests();
      auto body = drovix::parse_json<SJson>(reqs.back().body);
      return body && (*body)["create_only"].get<bool>();
    };

    Agent fresh(AgentSetup{}, boottest::gateway_keyring());
    fresh.set_state("", true);
    EXPECT_EQ(fresh.serve(post("/api/save-snapshot", R"J({"name":"  "})J")),
              json_bytes("409 Conflict", R"J({"error":"This session has no archive yet. Use /save-snapshot <name>."})J"));

    // The current archive's name: saved into it, not create-only.
    Agent agent(AgentSetup{}, boottest::gateway_keyring());
    agent.set_state("q3", true);
    saved_ok("q3");
    EXPECT_EQ(agent.serve(post("/api/save-snapshot", "{}")),
              json_bytes("200 OK", R"J({"ephemeral":false,"name":"q3","timestamp":"2025-01-01 00:00:00"})J"));
    EXPECT_FALSE(last_create_only());
    saved_ok("q3");
    agent.serve(post("/api/save-snapshot", R"J({"name":" q3 "})J"));
    EXPECT_FALSE(last_create_only());

    // Another name branches into a new archive, which the session continues in.
    agent.set_state("q3", true);
    saved_ok("q4");
    EXPECT_EQ(agent.serve(post("/api/save-snapshot", R"J({"name":"q4"})J")),
              json_bytes("200 OK", R"J({"ephemeral":false,"name":"q4","timestamp":"2025-01-01 00:00:00"})J"));
    EXPECT_TRUE(last_create_only());
    EXPECT_EQ(agent.state().archive, "q4");
    EXPECT_FALSE(agent.state().unsaved);

    // The gateway refuses a name that exists.
    gw->push(peers::Reply().send(
        boottest::gateway_reply(409, R"J({"error":"An archive named 'q1' already exists. Pick a new name."})J")));
    EXPECT_EQ(agent.serve(post("/api/save-snapshot", R"J({"name":"q1"})J")),
              json_bytes("409 Conflict", R"J({"error":"An archive named 'q1' already exists. Pick a new name."})J"));
    EXPECT_EQ(agent.state().archive, "q4");

    // An ephemeral session saves only create-only copies and stays as it was.
    AgentSetup ephemeral;
    ephemeral.ephemeral = true;
    Agent eph(ephemeral, boottest::gateway_keyring());
    eph.set_state("q3", true);
    EXPECT_EQ(eph.serve(post("/api/save-snapshot", "{}")),
              json_bytes("409 Conflict",
                         R"J({"error":"Ephemeral session: nothing is saved. Use /save-snapshot <new-name> to branch this conversation into a new archive."})J"));
    saved_ok("q3");
    EXPECT_EQ(eph.serve(post("/api/save-snapshot", R"J({"name":"q3"})J")),
              json_bytes("200 OK", R"J({"ephemeral":true,"name":"q3","timestamp":"2025-01-01 00:00:00"})J"));
    EXPECT_TRUE(last_create_only());
    EXPECT_EQ(eph.state().archive, "q3");
    EXPECT_TRUE(eph.state().unsaved);
    EXPECT_EQ(eph.state().last_saved, "");
  });
}

TEST(AgentRoutes, SubAgentRoutesWithoutSubAgents) {
  Agent agent;  // no "statesink": any call to the host would fail visibly
  EXPECT_EQ(agent.serve("GET /api/agents HTTP/1.1\r\n\r\n"), json_bytes("200 OK", R"J({"agents":[],"max":0})J"));
  EXPECT_EQ(agent.serve(post("/api/agents/spawn", R"J({"task":"count"})J")),
            json_bytes("200 OK", R"J({"error":"This agent was launched without sub-agents."})J"));
  AgentSetup parent;
  parent.role.subagents = 2;
  Agent p(parent);
  EXPECT_EQ(p.serve(post("/api/agents/spawn", R"J({"task":"  "})J")),
            json_bytes("200 OK", R"J({"error":"Usage: /agent <task for the sub-agent>"})J"));
  EXPECT_EQ(p.serve("GET /api/agents HTTP/1.1\r\n\r\n"),
            json_bytes("200 OK", R"J({"error":"the gateway is not reachable","max":2})J"));
  EXPECT_EQ(p.serve("GET /api/datalake HTTP/1.1\r\n\r\n"),
            json_bytes("200 OK",
                       R"J({"error":"The Data Lake isn't enabled for this agent. Launch one with the Data Lake MCP switched on."})J"));
}

TEST(AgentRoutes, SpawnRecordsTheNewChild) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  boottest::with_certs(certs.path(), [&] {
    auto gw = boottest::start_gateway(certs.path());
    ASSERT_TRUE(gw);
    AgentSetup parent;
    parent.role.subagents = 2;
    Agent p(parent, boottest::gateway_keyring());
    gw->push(peers::Reply().send(boottest::gateway_reply(200, R"J({"name":"agent-2","port":8002})J")));
    std::string task = "sum\tthe " + std::string(700, 'x');
    EXPECT_EQ(p.serve(post("/api/agents/spawn", SJson{{"task", " " + task + " "}}.dump())),
              json_bytes("200 OK", R"J({"name":"agent-2","port":8002})J"));
    auto reqs = gw->requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].request_line, "POST /v1/agents/spawn HTTP/1.1");
    EXPECT_EQ(reqs[0].body, SJson({{"name", ""}, {"origin", "user"}, {"task", task}}).dump());
    std::lock_guard lock(p.ctx.session->board_mu);
    EXPECT_EQ(p.ctx.session->board.statuses.at("agent-2"), "running");
    ASSERT_EQ(p.ctx.session->board.pending.size(), 1u);
    EXPECT_EQ(p.ctx.session->board.pending[0],
              "- The user started sub-agent \"agent-2\" with /agent. Its task: sum the " + std::string(592, 'x') +
                  "\u2026");
  });
}
