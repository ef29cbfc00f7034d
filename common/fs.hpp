#pragma once
// Whole-file reads and writes. Files are written whole to a temporary file
// in the same folder, created with their final mode, then renamed into
// place, so no reader ever sees half a file.
#include <sys/types.h>

#include <string>
#include <string_view>

#include "common/result.hpp"

namespace drovix {

Result<std::string> read_file(const std::string& path);
// Creates the folder and its missing ancestors (mode 0755 less the umask).
Status make_dirs(const std::string& path);
// Writes the file whole (parent folders created) with the given mode.
Status write_file_atomic(const std::string& path, std::string_view bytes, mode_t mode);
bool path_exists(const std::string& path);
std::string parent_dir(const std::string& path);
// "text: strerror(errno)"
std::string errno_text(std::string_view what);

}  // namespace drovix
