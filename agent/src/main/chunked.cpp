#include "agent/src/main/chunked.hpp"

#include "common/text.hpp"

namespace drovix::agent {

std::optional<uint64_t> parse_chunk_size(std::string_view line) {
  std::string text = trim_unicode(utf8_lossy(line));
  std::string_view s = text;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    if (v > (UINT64_MAX >> 4)) return std::nullopt;
    v = (v << 4) | d;
  }
  return v;
}

std::string decode_chunked(std::string_view body) {
  std::string out;
  size_t pos = 0;
  while (body.size() - pos >= 2) {
    size_t eol = body.find("\r\n", pos);
    if (eol == std::string_view::npos) break;
    auto size = parse_chunk_size(body.substr(pos, eol - pos));
    if (!size || *size == 0) break;
    size_t data = eol + 2;
    if (*size > body.size() - data) break;
    out.append(body.substr(data, static_cast<size_t>(*size)));
    pos = data + static_cast<size_t>(*size) + 2;
    if (pos >= body.size()) break;
  }
  return out;
}

}  // namespace drovix::agent
