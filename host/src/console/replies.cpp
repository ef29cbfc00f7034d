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

std::string certdir_path(const std::string& name) { return host_config().certs + "/" + name; }

}  // namespace drovix::host
