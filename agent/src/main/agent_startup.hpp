#pragma once
// Start-up of the agent: everything the request handlers share is built
// from the environment and the /certs files, in a fixed order, one printed
// line per step; then the HTTPS listener, and connections for ever.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "agent/src/main/agent_api.hpp"
#include "agent/src/main/session_state.hpp"
#include "common/json.hpp"
#include "common/net.hpp"
#include "common/result.hpp"
#include "common/tls.hpp"

namespace drovix::agent {

inline constexpr uint16_t kDefaultPort = 8443;

// PORT: an unsigned 16-bit decimal number with at most one leading "+";
// 8443 when absent, empty, not a number or too large.
uint16_t parse_port(const char* value);

AgentRole appliance_role_from(const SJson& appliance);

// The workspace the launch asks for: "workspace_mb" (a non-negative JSON
// integer, else 0) and "workspace_folder" trimmed of white space, then of
// "/" at both ends.
struct WorkspaceLaunch {
  uint64_t mb = 0;
  std::string folder;
};
WorkspaceLaunch workspace_launch_settings(const SJson& appliance);

// The workspace's text budget: 55% of its size.
uint64_t workspace_text_budget(uint64_t workspace_mb);
// The workspace folder relative to the SharePoint root: the folder itself
// under an empty root, "" for the root itself, the rest below the root, and
// nothing for a folder outside the root or an empty folder.
std::optional<std::string> staging_folder(const std::string& folder, const std::string& root);

// A start-up that cannot go on: the step that failed and why.
struct StartupFailure {
  std::string step;  // "open cert", "cert der", "open key", "read key", "a key", "single cert", "bind"
  std::string detail;
};

// The running agent after start-up: what the connections share, the TLS
// configuration and the listening socket.
struct AgentServer {
  AgentContext ctx;
  TlsContext tls;
  Socket listener;
  uint16_t port = kDefaultPort;
};

using LineSink = std::function<void(const std::string&)>;

// Runs every start-up step, printing each line (without its newline) to
// print, up to and including "WEB LISTENING on 0.0.0.0:{port}".
std::variant<AgentServer, StartupFailure> agent_start(const LineSink& print);

// Accepts connections for ever, one thread each.
[[noreturn]] void serve_forever(AgentServer server);

// The program: start-up on standard output, a fatal start-up error on
// standard error with exit status 1; otherwise it never returns.
int agent_main();

}  // namespace drovix::agent
