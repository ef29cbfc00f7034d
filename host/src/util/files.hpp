#pragma once
// Files that hold secrets and lenient readers of state files.
#include <optional>
#include <string>
#include <string_view>

#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::host {

// Written whole with mode 0600 (parent folders created), then given the
// parent folder's owner when the two differ.
Status write_private_file(const std::string& path, std::string_view bytes);
Status write_private_json(const std::string& path, const OJson& value);
Status copy_private_file(const std::string& from, const std::string& to);

std::optional<std::string> read_text_trimmed(const std::string& path);
std::optional<OJson> read_json_file(const std::string& path);
OJson read_json_object(const std::string& path);

}  // namespace drovix::host
