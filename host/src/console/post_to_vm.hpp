#pragma once
// Requests from the host into an agent VM's host-only routes ("/api/flush",
// "/api/deliver"), authorised by the VM's flush token.
#include <chrono>
#include <cstdint>
#include <string>

#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::host {

// Answers longer than this are refused: the agent's answers to these routes
// are small objects.
inline constexpr size_t kMaxVmAnswer = 1 << 20;

// POSTs body to https://10.0.9.<n+10>:8443<path> with "x-flush-token",
// checking the agent's certificate against the host's own name, and gives
// the answer body as a JSON object (an empty body as {}). The HTTP status is
// not looked at. Errors: "no flush token" (nothing sent), or the connect,
// TLS, read, size or JSON failure's text. The connect waits at most 15 s,
// each read 15 s, and the whole exchange at most 40 s.
Result<OJson> post_to_vm(uint16_t port, uint16_t n, const std::string& path, const std::string& body);

// The same towards an explicit address and port; used by post_to_vm.
Result<OJson> post_to_agent(const std::string& address, int agent_port, const std::string& token_file,
                            const std::string& path, const std::string& body,
                            std::chrono::milliseconds exchange_limit);

// The answer body after the head as a JSON object ("{}" when there is none).
Result<OJson> parse_vm_answer(const std::string& answer);

}  // namespace drovix::host
