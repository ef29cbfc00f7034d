#pragma once
// Sealed session archives: an agent's session snapshot sealed with the
// host's pass phrase (snapshot.pass) and kept as one
// "<name>__<%Y%m%dT%H%M%S>.blob" file per version, 20 versions per name.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/json.hpp"

namespace drovix::host {

inline constexpr size_t kArchiveVersionsKept = 20;

// Saves one version. 200 {"ok", "name", "timestamp", "bytes", "versions"};
// 409 when create_only and the name has versions; 500 when the pass phrase
// or the blob cannot be stored.
std::pair<uint16_t, OJson> save_session_archive(const std::string& name, const OJson& transcript, bool create_only,
                                                const std::string& session_id, const OJson& manifest);

// File names of the name's versions in the archive folder, oldest first.
std::vector<std::string> list_archive_versions(const std::string& name);
std::vector<std::string> archive_files(const std::string& dir, const std::string& name);
// Whether a folder entry is a version of the name: it ends in ".blob" and
// the part before its last "__" (or, without "__", the name with its
// trailing ".blob"s removed) is the name.
bool archive_version_of(const std::string& file_name, const std::string& name);

// The archive pass phrase, created once when missing: a new one is linked
// into place only when no other save stored one first, and what is stored
// is read back. Nothing when it can neither be read nor stored.
std::optional<std::string> archive_pass_phrase(std::string* error);

}  // namespace drovix::host
