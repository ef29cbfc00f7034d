#pragma once
// Reply and value helpers that every console handler shares.
#include <string>

#include "common/json.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

// 200, "application/json", the value as compact JSON.
HttpResponse json_reply(const OJson& value);
// 400 {"error": text}.
HttpResponse error_reply(const std::string& text);

// A switch in a request body or settings object: a missing key or null is
// off; otherwise the value's JSON truthiness.
bool json_truthy(const OJson& object, const std::string& key);
// How a value reads in a change message: True/False, a string as itself,
// anything else as compact JSON.
std::string json_display_text(const OJson& value);

// The certificate folder of the host configuration, "/" and the name.
std::string certdir_path(const std::string& name);

}  // namespace drovix::host
