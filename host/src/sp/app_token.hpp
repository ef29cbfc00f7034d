#pragma once
// The host's app-only Microsoft Graph token: a client-credentials grant
// whose client assertion is a JWT signed with the SharePoint application's
// RSA key. Nothing is cached: each call reads the PEM files again, signs a
// fresh assertion and asks the token endpoint once.
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace drovix::host {

// The decoded bytes of the first PEM block with this label ("CERTIFICATE",
// "PRIVATE KEY", "RSA PRIVATE KEY"); nothing when there is none or its
// base64 is not strict, padded, canonical standard base64.
std::optional<std::string> read_pem_block(std::string_view pem, std::string_view label);

// A fresh Graph access token, or the reason there is none.
Result<std::string> graph_app_token();

}  // namespace drovix::host
