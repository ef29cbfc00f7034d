#pragma once
// Runs a test body in a fresh process (so the agent's once-read settings
// start unread) that sees the given folder at /certs.
#include <functional>
#include <string>

namespace agenttest {

void with_certs(const std::string& folder, const std::function<void()>& body);

}  // namespace agenttest
