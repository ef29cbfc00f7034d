#pragma once
// The agent's client of MCP servers (JSON-RPC 2.0 over HTTP) that the host
// connected for it: keyring entries named "mcp:<server id>".
#include <string>

#include "agent/src/main/keyring.hpp"
#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::agent {

// Sends {"id": 1, "jsonrpc": "2.0", "method", "params"} to the server and
// returns the reply body of a 2xx answer. Errors: "MCP server '{}' not
// connected", the connection and request errors, "MCP call failed (HTTP {}):
// {first 500 characters}".
Result<std::string> mcp_call(const Keyring& kr, const std::string& server, const std::string& method,
                             const SJson& params);

struct McpOutcome {
  bool is_error = false;
  std::string text;
};

// The text a tool shows the model: the reply's text content items joined
// by line feeds, a JSON-RPC error's message, or the reply as it is.
McpOutcome mcp_result_text(const std::string& reply);

}  // namespace drovix::agent
