#pragma once
// Writing one file into the agent's SharePoint folder through Microsoft
// Graph (keyring service "onedrive").
#include <optional>
#include <string>
#include <string_view>

#include "agent/src/main/keyring.hpp"
#include "agent/src/main/model_request.hpp"
#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::agent {

// PUT {item}/content with the file's bytes. On success "Saved {path} to
// SharePoint." (the path inside the library), followed by " Link: {}" when
// Graph returned the file's web address.
Result<std::string> sharepoint_upload(const Keyring& kr, std::string_view path, std::string_view bytes,
                                      const std::string& content_type);
// The same with the SharePoint root and the connection given.
Result<std::string> sharepoint_upload_in(const Keyring& kr, std::string_view root, std::string_view path,
                                         std::string_view bytes, const std::string& content_type,
                                         const ServiceConnector& connect);

// The reply's "webUrl" when it is a text.
std::optional<std::string> read_web_url(const SJson& reply);

}  // namespace drovix::agent
