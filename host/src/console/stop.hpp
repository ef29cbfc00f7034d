#pragma once
// Stopping an agent session, in a fixed order: ask the agent to flush its
// archive, stop and reset its unit, end the slot's forwarder, drop the relay
// record, clear connection tracking, rebuild the firewall, then mark the
// record (and remove the session's taint file) under the sessions mutex.
#include <cstdint>
#include <string>

#include "common/json.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

// The agent's flush answer, or {"saved": false, "reason": ...} made by the
// host ("unknown port", "not running", "flush failed: ..."). Every stop of a
// slot port is audited as "session_stopped".
OJson stop_session(uint16_t port, const std::string& user, const std::string& reason);

// POST /api/stop {port, cascade}: asks to confirm while the session has
// running sub-agents and cascade is off; otherwise stops them, then the
// session. Always 200.
HttpResponse stop_request(const OJson& body, const std::string& user);

// The last part of the stop's audit text, from the flush outcome.
std::string stop_outcome_text(const OJson& outcome);

}  // namespace drovix::host
