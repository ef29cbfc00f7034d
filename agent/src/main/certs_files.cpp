#include "agent/src/main/certs_files.hpp"

#include "common/fs.hpp"
#include "common/text.hpp"

namespace drovix::agent {

std::string certs_file(const std::string& name) { return std::string(kCertsDir) + "/" + name; }

std::optional<std::string> read_text_file(const std::string& path) {
  auto raw = read_file(path);
  if (!raw || !is_valid_utf8(*raw)) return std::nullopt;
  std::string text = trim_unicode(*raw);
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace drovix::agent
