#pragma once
// The relay through which agent VMs reach outside services.
#include <cstdint>
#include <string>

#include "common/result.hpp"
#include "common/stream.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

// Serves one "/relay/..." request of an agent VM, writing the whole reply to
// the connection itself.
Status relay_request(const HttpRequest& req, ByteStream& conn);

// Writes one complete relay error reply and flushes it.
Status relay_error_reply(ByteStream& conn, uint16_t status, const std::string& message);

}  // namespace drovix::host
