#pragma once
// Sealed session archives: one "<name>__<timestamp>.blob" file per saved
// version in the archive folder.
#include <string>

#include "common/json.hpp"

namespace drovix::host {

// "<home>/appliance-snapshots".
std::string snapshots_dir();

// One entry per archive name, newest first:
// {"name", "versions", "timestamp", "file"} where file holds the newest
// timestamp. Works on file names alone; an unreadable folder gives [].
OJson list_archives();
// Same, over the given folder.
OJson list_archives_in(const std::string& dir);

// Whether entry a goes before entry b: a's timestamp is greater as text.
bool cmp_by_timestamp(const OJson& a, const OJson& b);

}  // namespace drovix::host
