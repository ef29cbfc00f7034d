#include "host/src/gateway/router.hpp"

namespace drovix::host {

HttpResponse route_gateway_request(const HttpRequest& req) {
  return json_response(404, OJson{{"error", "not found"}});
}

}  // namespace drovix::host
