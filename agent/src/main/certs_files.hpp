#pragma once
// The folder the host maps into the VM as /certs, and how the agent reads
// the text files in it.
#include <optional>
#include <string>

namespace drovix::agent {

inline constexpr const char* kCertsDir = "/certs";

// "/certs/<name>".
std::string certs_file(const std::string& name);

// The whole file as UTF-8, trimmed of white space at both ends; nothing when
// the file is missing, unreadable, not valid UTF-8 or empty after trimming.
std::optional<std::string> read_text_file(const std::string& path);

}  // namespace drovix::agent
