#pragma once
// POST /v1/agents/<op>: an agent VM's requests about its sub-agents and its
// document readers, the VM identified by its address.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "common/json.hpp"

namespace drovix::host {

// The status and reply of one operation: list, spawn, reader, reader_alive,
// reader_done or finished. A caller that is no agent VM gets 403, an
// unknown operation 404; every refusal of an operation is a 200 reply with
// an "error" key.
std::pair<uint16_t, OJson> handle_agents_call(const std::string& op, const std::string& caller_ip,
                                              const OJson& body);

// A sub-agent's record's "parent" value; only called on records that hold one.
const OJson& agent_parent(const OJson& record);
// The value when it is truthy, else nothing.
std::optional<OJson> truthy_value(const OJson* value);

}  // namespace drovix::host
