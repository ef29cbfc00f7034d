#pragma once
#include "host/src/http/message.hpp"

namespace drovix::host {
// The agents' gateway API.
HttpResponse route_gateway_request(const HttpRequest& req);
}
