#pragma once
// JSON documents. The host keeps object keys in insertion order
// (ordered_json); the agent writes every object with its keys in ascending
// byte order (json, whose objects are std::map).
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace drovix {

using OJson = nlohmann::ordered_json;  // host
using SJson = nlohmann::json;          // agent: sorted keys

// Parses one JSON value (white space around it allowed); nothing when the
// text is not exactly one valid value. Never throws.
template <class J = OJson>
std::optional<J> parse_json(std::string_view text) {
  J v = J::parse(text.begin(), text.end(), nullptr, false);
  if (v.is_discarded()) return std::nullopt;
  return v;
}

// Compact JSON text: no spaces or line breaks; invalid UTF-8 in strings is
// replaced rather than failing.
template <class J>
std::string to_compact(const J& v) {
  return v.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace);
}

// The member's text when the value is an object holding a string there;
// the empty text otherwise (a number is not converted).
template <class J>
std::string json_get_str(const J& object, std::string_view key) {
  if (!object.is_object()) return "";
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return "";
  return it->template get<std::string>();
}

}  // namespace drovix
