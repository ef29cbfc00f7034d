#pragma once
// The agent's HTTPS API: one request per connection, read with its size
// cap, routed, answered with one reply, then the connection closes.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "agent/src/main/keyring.hpp"
#include "agent/src/main/session_state.hpp"
#include "common/json.hpp"
#include "common/result.hpp"
#include "common/stream.hpp"

namespace drovix::agent {

// Request size caps: every request, and POST /api/deliver.
inline constexpr size_t kRequestCap = 1048576;
inline constexpr size_t kDeliverCap = 8388608;
inline constexpr size_t kRequestReadChunk = 2048;

// What every connection thread shares.
struct AgentContext {
  std::shared_ptr<Keyring> keyring;
  std::shared_ptr<const AgentSetup> setup;
  std::shared_ptr<SharedSession> session;
};

// One request as read: the head (without the blank line), its request
// line's method and path, and every byte after the blank line.
struct AgentRequest {
  std::string head;
  std::string method;
  std::string path;
  std::string body;
};

// Reads one request. Reading stops once the head and Content-Length bytes
// of body are in, at the end of the stream, or as soon as the bytes read
// pass the cap (1 MiB; 8 MiB for "POST /api/deliver "); what was read is
// then used as it is. A read error is returned as it is.
Result<AgentRequest> read_agent_request(ByteStream& in);

// The value of the head's first header of that name (ASCII case ignored),
// trimmed.
std::optional<std::string> request_header(std::string_view head, std::string_view name);
// An unsigned decimal number with at most one leading "+"; anything else
// (overflow included) is 0.
uint64_t parse_content_length(std::string_view value);

// One reply as the API writes it.
struct AgentReply {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  bool page = false;  // the chat page's head (no-store)
};

AgentReply json_reply(const SJson& body, int status = 200);
// The reply's bytes: status line, head, body.
std::string reply_bytes(const AgentReply& reply);
inline constexpr const char* kNotFoundReply =
    "HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\nConnection: close\r\n\r\nnot found\n";

// Whether the request carries the flush token of /certs/flush.token.
bool flush_token_ok(std::string_view head);

// The answer to one request (the chat route streams and is not a value);
// nothing means 404.
std::optional<AgentReply> route_request(const AgentRequest& req, const AgentContext& ctx);

// Serves one request on the connection's stream. Returns the read or
// write error that ended it.
Status handle_connection(ByteStream& conn, const AgentContext& ctx);

// Parts of the routes, for the page and the tests.
SJson session_info_json(const AgentContext& ctx);
SJson flush_session(const AgentContext& ctx);

}  // namespace drovix::agent
