#include "tests/agent/turn/turn_fixture.hpp"

#include "agent/src/main/hooks.hpp"
#include "agent/src/main/http_client.hpp"
#include "common/tls.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

namespace turntest {

namespace {

struct PeerCerts {
  std::string cert, key, ca_pem;
};

const PeerCerts& peer_certs() {
  static const PeerCerts c = [] {
    static testbed::TempDir dir;  // lives until the process ends
    const testbed::TestPki& pki = testbed::shared_test_pki();
    testbed::write_test_certs(pki, dir.path());
    return PeerCerts{dir / "fullchain.pem", dir / "privkey.pem", pki.ca_pem};
  }();
  return c;
}

}  // namespace

void PeerTest::SetUp() {
  const PeerCerts& c = peer_certs();
  auto peer = peers::ModelPeer::start("127.0.0.1:0", c.cert, c.key);
  ASSERT_TRUE(peer.ok()) << peer.message();
  peer_ = std::move(*peer);
  drovix::TlsContext trust = drovix::tls_client_context(c.ca_pem);
  int port = peer_->port();
  connect_ = [port, trust](const std::string& ip, const std::string& host) {
    return drovix::agent::connect_service(ip, port, host, trust, drovix::agent::SocketLimits{5000, 20000});
  };
  drovix::agent::KeyringEntry e;
  e.host = "localhost";
  e.ip = "127.0.0.1";
  e.path = "/";
  e.relay = "/relay/anthropic";
  e.header = "x-drovix-relay";
  e.secret = kRelayToken;
  drovix::agent::keyring_insert(kr_, "anthropic", e);
  drovix::agent::hook_events_drain("");
}

void PeerTest::TearDown() { peer_.reset(); }

void PeerTest::push_json(const SJson& body) {
  peer_->push(peers::Reply().send(peers::http_response(200, "application/json", body.dump())));
}

SJson PeerTest::request_body(size_t n) const {
  auto reqs = peer_->requests();
  if (n >= reqs.size()) return SJson();
  return SJson::parse(reqs[n].body);
}

SJson text_block(const std::string& text) { return SJson{{"type", "text"}, {"text", text}}; }

SJson tool_use(const std::string& id, const std::string& name, SJson input) {
  return SJson{{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", std::move(input)}};
}

SJson reply(SJson content, const std::string& stop_reason, uint64_t in, uint64_t out) {
  SJson r = SJson{{"id", "msg_1"}, {"type", "message"}, {"role", "assistant"}, {"content", std::move(content)},
                  {"usage", SJson{{"input_tokens", in}, {"output_tokens", out}}}};
  if (!stop_reason.empty()) r["stop_reason"] = stop_reason;
  return r;
}

drovix::agent::ToolServices ScriptedTools::services() {
  drovix::agent::ToolServices s;
  s.dispatch = [this](const drovix::agent::Keyring&, drovix::agent::WorkspaceStore* ws, const std::string& name,
                      const SJson& input) {
    {
      std::lock_guard lock(mu);
      calls.push_back(Call{name, input, ws});
    }
    if (on_call) on_call(name);
    auto it = replies.find(name);
    return it != replies.end() ? it->second : drovix::agent::ToolReply{"unknown tool", true};
  };
  return s;
}

}  // namespace turntest
