#pragma once
// Turning a path inside the agent's SharePoint folder into a Microsoft
// Graph drive-item address.
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace drovix::agent {

// The path trimmed of white space and then of "/" at both ends, joined under
// the SharePoint root ("{root}/{path}", the root alone for an empty path,
// the path alone without a root).
std::string sharepoint_root_path(std::string_view path);
std::string sharepoint_root_path_in(std::string_view root, std::string_view path);

// OD_DRIVE when set and not empty, else "/v1.0/me/drive"; read on every call.
std::string drive_root();

// "{drive}/root:/{encoded full path}:" or "{drive}/root" for the root
// itself. Paths with an empty, "." or ".." segment or with ":" or "\" are
// refused: "'{}' isn't a path inside this agent's SharePoint folder".
Result<std::string> drive_item_path(std::string_view path);
Result<std::string> drive_item_path_in(std::string_view root, std::string_view path);

// Every byte other than A-Z, a-z, 0-9, "-", ".", "_" and "~" as "%XX"
// (upper-case hexadecimal). Encodes one path segment.
std::string percent_encode(std::string_view text);
// Encodes the first byte and hands the rest to percent_encode.
std::string percent_encode_chars(std::string_view text);

}  // namespace drovix::agent
