#include "host/src/console/replies.hpp"

#include "host/src/main/config.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

HttpResponse json_reply(const OJson& value) {
  HttpResponse r;
  r.status = 200;
  r.content_type = "application/json";
  r.body = to_compact(value);
  return r;
}

HttpResponse error_reply(const std::string& text) { return json_response(400, OJson{{"error", text}}); }

bool json_truthy(const OJson& object, const std::string& key) { return json_flag(object, key); }

std::string json_display_text(const OJson& value) {
  if (value.is_boolean()) return value.get<bool>() ? "True" : "False";
  if (value.is_string()) return value.get<std::string>();
  return to_compact(value);
}

std::string certdir_path(const std::string& name) { return host_config().certs + "/" + name; }

}  // namespace drovix::host
