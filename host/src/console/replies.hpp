#pragma once
// Reply and value helpers that every console handler shares.
#include <string>

#include "common/json.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

// 200, "application/json", the value as compact JSON.
HttpResponse json_reply(const OJson& value);

// The certificate folder of the host configuration, "/" and the name.
std::string certdir_path(const std::string& name);

}  // namespace drovix::host
