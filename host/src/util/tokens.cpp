#include "host/src/util/tokens.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>

#include "common/encoding.hpp"
#include "common/text.hpp"

namespace drovix::host {
namespace {

// Length in bytes of the UTF-8 character at s[i]; a byte that does not start
// a well-formed character counts as one character of its own.
size_t char_len(std::string_view s, size_t i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
  if (i + len > s.size()) return 1;
  for (size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
  }
  return len;
}

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
         c == '_';
}

// An optional single sign, then only ASCII digits, within 64 bits.
std::optional<int64_t> parse_decimal(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  for (char c : s)
    if (c < '0' || c > '9') return std::nullopt;
  // Parsed with its sign so that the most negative value fits.
  std::string text;
  if (negative) text += '-';
  text.append(s);
  int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

std::string random_token(size_t n) { return base64url_encode_nopad(random_bytes(n)); }

std::string random_hex(size_t n) { return hex_lower(random_bytes(n)); }

bool json_truthy(const OJson& value) {
  switch (value.type()) {
    case OJson::value_t::boolean:
      return value.get<bool>();
    case OJson::value_t::number_integer:
      return value.get<int64_t>() != 0;
    case OJson::value_t::number_unsigned:
      return value.get<uint64_t>() != 0;
    case OJson::value_t::number_float:
      return value.get<double>() != 0.0;
    case OJson::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case OJson::value_t::array:
    case OJson::value_t::object:
      return !value.empty();
    default:
      return false;
  }
}

bool json_flag(const OJson& object, const std::string& key) {
  if (!object.is_object()) return false;
  auto it = object.find(key);
  return it != object.end() && json_truthy(*it);
}

std::string json_get_str(const OJson& object, const std::string& key) { return drovix::json_get_str(object, key); }

std::string json_to_text(const OJson* value) {
  if (value == nullptr || value->is_null()) return "";
  if (value->is_string()) return value->get<std::string>();
  return to_compact(*value);
}

std::optional<int64_t> json_as_i64(const OJson* value) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  if (value == nullptr) return 0;
  switch (value->type()) {
    case OJson::value_t::null:
      return 0;
    case OJson::value_t::boolean:
      return value->get<bool>() ? 1 : 0;
    case OJson::value_t::number_integer:
      return value->get<int64_t>();
    case OJson::value_t::number_unsigned: {
      uint64_t u = value->get<uint64_t>();
      return u > static_cast<uint64_t>(kMax) ? kMax : static_cast<int64_t>(u);
    }
    case OJson::value_t::number_float: {
      double d = std::trunc(value->get<double>());
      if (std::isnan(d)) return 0;
      // 2^63 is the first double above the range.
      if (d >= 9223372036854775808.0) return kMax;
      if (d <= -9223372036854775808.0) return kMin;
      return static_cast<int64_t>(d);
    }
    case OJson::value_t::string: {
      const auto& s = value->get_ref<const std::string&>();
      if (s.empty()) return 0;
      return parse_decimal(trim_unicode(s));
    }
    case OJson::value_t::array:
    case OJson::value_t::object:
      if (value->empty()) return 0;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

OJson object_or_empty(const OJson* value) {
  if (value != nullptr && value->is_object()) return *value;
  return OJson::object();
}

std::string take_chars(std::string_view text, size_t n) { return drovix::take_chars(text, n); }

std::string sanitize_name(std::string_view text) {
  std::string trimmed = trim_unicode(text);
  std::string out;
  size_t taken = 0;
  for (size_t i = 0; i < trimmed.size() && taken < 60; ++taken) {
    size_t len = char_len(trimmed, i);
    out += (len == 1 && name_char(trimmed[i])) ? trimmed[i] : '-';
    i += len;
  }
  return out;
}

int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace drovix::host
