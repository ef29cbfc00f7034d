#pragma once
// The data-lake MCP server: JSON-RPC 2.0, one request object per POST and
// one reply object back, with three tools.
#include <string>

#include "common/json.hpp"
#include "host/src/gateway/mcp_types.hpp"

namespace drovix::host {

// Answers initialize, tools/list and tools/call; every other method is a
// -32601 error. Never fails: every outcome is a JSON-RPC reply.
OJson handle_mcp_request(const OJson& body, const std::string& caller_ip);

OJson mcp_text_result(const OJson& id, const McpToolOutput& output);
OJson mcp_error(const OJson& id, const std::string& message);

// The three tools as tools/list shows them.
OJson mcp_tool_list();

}  // namespace drovix::host
