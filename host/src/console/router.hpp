#pragma once
// The console listener's request handler: the page, the login and logout,
// and every /api/... route behind the fleet_sess cookie.
#include <string>
#include <utility>

#include "common/json.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

// Never fails: every outcome is a reply.
HttpResponse route_console_request(const HttpRequest& req);

// The path up to the first "?", and what follows it.
std::pair<std::string, std::string> split_route(const std::string& path);
// The query as form data: pieces cut at "&" (empty ones skipped), each at
// its first "=", "+" as blank and %XX decoded. A repeated name keeps its
// first place and takes the last value.
OJson parse_query(const std::string& query);
// A POST body as one JSON object; anything else reads as {}.
OJson body_object(const std::string& body);

}  // namespace drovix::host
