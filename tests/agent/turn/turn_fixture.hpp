#pragma once
// What the turn suites share: a model peer on loopback with a test
// certificate, a keyring whose "anthropic" entry reaches it, Messages API
// replies to script it with, and a scripted tool dispatcher.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "agent/src/main/keyring.hpp"
#include "agent/src/main/model_request.hpp"
#include "agent/src/main/tool_call.hpp"
#include "common/json.hpp"
#include "tools/peers/model_peer.hpp"

namespace turntest {

using drovix::SJson;

inline constexpr const char* kRelayToken = "turn-relay-token-0123456789abcdef";

// A peer with the model peer's recording, plus the keyring and connector
// that reach it.
class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Each reply as a 200 with its JSON body.
  void push_json(const SJson& body);
  // The JSON body of the n-th recorded request.
  SJson request_body(size_t n) const;

  drovix::agent::Keyring kr_;
  std::unique_ptr<peers::ModelPeer> peer_;
  drovix::agent::ServiceConnector connect_;
};

// Content blocks and replies of the Messages API.
SJson text_block(const std::string& text);
SJson tool_use(const std::string& id, const std::string& name, SJson input);
SJson reply(SJson content, const std::string& stop_reason, uint64_t in = 10, uint64_t out = 5);

// A dispatcher that answers each tool name from a table (a name not in the
// table gets the error "unknown tool") and records every call it gets.
struct ScriptedTools {
  struct Call {
    std::string name;
    SJson input;
    drovix::agent::WorkspaceStore* ws = nullptr;
  };
  std::map<std::string, drovix::agent::ToolReply> replies;
  std::function<void(const std::string&)> on_call;  // runs before the reply is given
  mutable std::mutex mu;
  std::vector<Call> calls;

  drovix::agent::ToolServices services();
};

}  // namespace turntest
