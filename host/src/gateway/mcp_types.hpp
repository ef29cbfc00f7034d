#pragma once
// What a data-lake tool body returns to the MCP server.
#include <string>

namespace drovix::host {

struct McpToolOutput {
  std::string text;
  bool is_error = false;
};

}  // namespace drovix::host
