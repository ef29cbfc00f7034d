#include "agent/src/main/response_head.hpp"

#include "common/text.hpp"

namespace drovix::agent {

namespace {

// Bounds that no reply of the gateway or relay comes near; they keep a
// misbehaving peer from growing the head without end.
constexpr size_t kMaxHeadLine = 64 * 1024;
constexpr size_t kMaxHead = 1024 * 1024;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The second white-space separated word of the status line.
std::string_view second_word(std::string_view line) {
  size_t i = 0;
  for (int word = 0; word < 2; ++word) {
    while (i < line.size() && is_space(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    if (start == i) return {};
    if (word == 1) return line.substr(start, i - start);
  }
  return {};
}

template <class T>
std::optional<T> parse_decimal(std::string_view s, T max, bool allow_plus) {
  if (allow_plus && !s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  T v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    T d = static_cast<T>(c - '0');
    if (v > (max - d) / 10) return std::nullopt;
    v = static_cast<T>(v * 10 + d);
  }
  return v;
}

}  // namespace

bool ascii_eq_ignore_case(std::string_view a, std::string_view b) { return iequals_ascii(a, b); }

Result<ResponseHead> read_response_head(BufReader& in) {
  ResponseHead head;
  std::string line;
  auto r = in.read_line(line, kMaxHeadLine);
  if (!r) return Error(r.error().kind, "read status: " + r.message());
  if (!is_valid_utf8(line)) return Error(ErrorKind::InvalidData, "read status: stream did not contain valid UTF-8");
  head.status = parse_decimal<uint16_t>(second_word(line), 65535, true).value_or(0);

  size_t total = line.size();
  for (;;) {
    line.clear();
    auto n = in.read_line(line, kMaxHeadLine);
    if (!n) return Error(n.error().kind, "hdr: " + n.message());
    if (*n == 0 || line == "\n" || line == "\r\n") break;
    total += *n;
    if (total > kMaxHead) return Error(ErrorKind::InvalidData, "hdr: reply head too large");
    if (!is_valid_utf8(line)) return Error(ErrorKind::InvalidData, "hdr: stream did not contain valid UTF-8");
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = trim_unicode(std::string_view(line).substr(0, colon));
    std::string value = trim_unicode(std::string_view(line).substr(colon + 1));
    if (ascii_eq_ignore_case(name, "location")) {
      head.location = std::move(value);
    } else if (ascii_eq_ignore_case(name, "transfer-encoding")) {
      if (to_lower_unicode(value).find("chunked") != std::string::npos) head.chunked = true;
    } else if (ascii_eq_ignore_case(name, "content-length")) {
      head.content_length = parse_decimal<uint64_t>(value, UINT64_MAX, false);
    }
  }
  return head;
}

}  // namespace drovix::agent
