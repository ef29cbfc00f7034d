#include "agent/src/main/drive_paths.hpp"

#include <cstdlib>

#include "agent/src/main/settings.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

std::string trim_path(std::string_view path) {
  std::string t = trim_unicode(path);
  std::string_view s = t;
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return std::string(s);
}

bool unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void encode_byte(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  if (unreserved(c)) {
    out += static_cast<char>(c);
  } else {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
}

}  // namespace

std::string sharepoint_root_path_in(std::string_view root, std::string_view path) {
  std::string p = trim_path(path);
  if (root.empty()) return p;
  if (p.empty()) return std::string(root);
  return std::string(root) + "/" + p;
}

std::string sharepoint_root_path(std::string_view path) {
  return sharepoint_root_path_in(sharepoint_root_config(), path);
}

std::string drive_root() {
  const char* env = std::getenv("OD_DRIVE");
  if (env && *env) return env;
  return "/v1.0/me/drive";
}

Result<std::string> drive_item_path_in(std::string_view root, std::string_view path) {
  std::string trimmed = trim_path(path);
  bool invalid = trimmed.find_first_of(":\\") != std::string::npos;
  if (!trimmed.empty() && !invalid) {
    std::string_view rest = trimmed;
    while (true) {
      size_t slash = rest.find('/');
      std::string_view seg = rest.substr(0, slash);
      if (seg.empty() || seg == "." || seg == "..") {
        invalid = true;
        break;
      }
      if (slash == std::string_view::npos) break;
      rest.remove_prefix(slash + 1);
    }
  }
  if (invalid) return Error("'" + trimmed + "' isn't a path inside this agent's SharePoint folder");

  std::string full = sharepoint_root_path_in(root, trimmed);
  if (full.empty()) return drive_root() + "/root";
  std::string encoded;
  std::string_view rest = full;
  while (true) {
    size_t slash = rest.find('/');
    encoded += percent_encode(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    encoded += '/';
    rest.remove_prefix(slash + 1);
  }
  return drive_root() + "/root:/" + encoded + ":";
}

Result<std::string> drive_item_path(std::string_view path) {
  return drive_item_path_in(sharepoint_root_config(), path);
}

std::string percent_encode(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) encode_byte(out, c);
  return out;
}

std::string percent_encode_chars(std::string_view text) {
  if (text.empty()) return {};
  std::string out;
  encode_byte(out, static_cast<unsigned char>(text[0]));
  return out + percent_encode(text.substr(1));
}

}  // namespace drovix::agent
