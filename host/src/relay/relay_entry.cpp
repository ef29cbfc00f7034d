#include "host/src/relay/relay.hpp"

namespace drovix::host {

// Outside services are not wired yet: every relay call is refused.
Status relay_request(const HttpRequest& req, ByteStream& conn) {
  return relay_error_reply(conn, 503, "relay refused: no outside services are configured");
}

}  // namespace drovix::host
