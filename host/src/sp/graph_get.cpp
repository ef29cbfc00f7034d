#include <chrono>

#include "common/text.hpp"
#include "host/src/http/outbound.hpp"
#include "host/src/main/config.hpp"
#include "host/src/sp/sharepoint.hpp"

namespace drovix::host {

namespace {
constexpr auto kGraphTimeout = std::chrono::seconds(20);
constexpr size_t kBodyChars = 120;
}  // namespace

Result<OJson> graph_get(const std::string& token, const std::string& path) {
  OutboundRequest req;
  req.method = "GET";
  req.url = "https://" + host_config().graph_host + "/v1.0" + path;
  req.headers = {{"authorization", "Bearer " + token}};
  req.timeout = kGraphTimeout;
  auto outcome = read_http_outcome(http_agent().send(req));
  if (!outcome) return outcome.error();
  if (outcome->status != 200)
    return Error("HTTP Error " + std::to_string(outcome->status) + ": " + take_chars(outcome->text, kBodyChars));
  try {
    return OJson::parse(outcome->text);
  } catch (const OJson::exception& e) {
    return Error(e.what());
  }
}

bool is_network_failure(const std::string& message) {
  for (const char* mark : {"Network Error", "reset", "timed out", "HTTP Error 5"})
    if (message.find(mark) != std::string::npos) return true;
  return false;
}

}  // namespace drovix::host
