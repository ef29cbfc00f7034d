#include "common/json.hpp"
#include "host/src/relay/relay.hpp"

namespace drovix::host {

namespace {
const char* relay_reason(uint16_t status) {
  switch (status) {
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}
}  // namespace

Status relay_error_reply(ByteStream& conn, uint16_t status, const std::string& message) {
  OJson body = {{"type", "error"}, {"error", {{"type", "relay_error"}, {"message", message}}}};
  std::string text = to_compact(body);
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + relay_reason(status) +
                    "\r\ncontent-type: application/json\r\ncontent-length: " + std::to_string(text.size()) +
                    "\r\nconnection: close\r\n\r\n" + text;
  auto st = conn.write_all(out);
  if (!st) return st;
  return conn.finish();
}

}  // namespace drovix::host
