#include "agent/src/main/settings.hpp"

#include "agent/src/main/certs_files.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

std::optional<std::string> certs_text(const char* name) { return read_text_file(certs_file(name)); }

std::string trim_slashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

std::vector<SJson> json_array_member(const std::optional<std::string>& text, const char* key) {
  if (!text) return {};
  auto doc = parse_json<SJson>(*text);
  if (!doc || !doc->is_object()) return {};
  auto it = doc->find(key);
  if (it == doc->end() || !it->is_array()) return {};
  return std::vector<SJson>(it->begin(), it->end());
}

std::vector<SJson> certs_json_array(const std::string& file, const char* key) {
  return json_array_member(read_text_file(certs_file(file)), key);
}

std::string sharepoint_root_from(const std::optional<std::string>& appliance_text) {
  if (!appliance_text) return {};
  auto doc = parse_json<SJson>(*appliance_text);
  if (!doc || !doc->is_object()) return {};
  auto it = doc->find("sharepoint_root");
  if (it == doc->end() || !it->is_string()) return {};
  return trim_slashes(trim_unicode(it->get_ref<const std::string&>()));
}

bool reader_enabled_from(const std::optional<std::string>& appliance_text) {
  if (!appliance_text) return false;
  auto doc = parse_json<SJson>(*appliance_text);
  if (!doc || !doc->is_object()) return false;
  auto it = doc->find("reader");
  return it != doc->end() && it->is_boolean() && it->get<bool>();
}

// Function-local statics: the first caller computes, concurrent first
// callers wait, later reads take no lock.
const std::vector<SJson>& recipes_config() {
  static const std::vector<SJson> value = certs_json_array("recipes.json", "recipes");
  return value;
}

const std::string& sharepoint_root_config() {
  static const std::string value = sharepoint_root_from(certs_text("appliance.json"));
  return value;
}

bool reader_enabled_config() {
  static const bool value = reader_enabled_from(certs_text("appliance.json"));
  return value;
}

const re2::RE2& numbering_pattern() {
  static const re2::RE2 re(R"(^(?:\(?[0-9a-z]{1,3}[.)]\s+))");
  return re;
}

const re2::RE2& clause_token_pattern() {
  static const re2::RE2 re(
      R"((?P<slot>\[(?:AMOUNT|PERCENT|DATE|TIME|NUMBER|LAW)\])|)"
      R"((?P<law>(?i:the State of New York|the State of [A-Z][a-z]+|England and Wales|England|New York|Ireland|Scotland|Germany|France|Japan|Singapore|Hong Kong))|)"
      R"((?P<amount>(?:USD|EUR|GBP|JPY|CHF|\$|€|£)\s?\d[\d,]*(?:\.\d+)?(?:\s?(?:m|bn|k|million|billion))?)|)"
      R"((?P<percent>\d+(?:\.\d+)?\s?%)|)"
      R"((?P<date>\d{4}-\d{2}-\d{2}|\d{1,2} (?:January|February|March|April|May|June|July|August|September|October|November|December) \d{4})|)"
      R"((?P<time>\d{1,2}:\d{2}\s?(?:[ap]\.?m\.?)?)|)"
      R"((?P<number>\d[\d,]*(?:\.\d+)?)|)"
      R"((?P<word>[A-Za-z][A-Za-z'’\-]*)|)"
      R"((?P<punct>[^\sA-Za-z0-9]))");
  return re;
}

}  // namespace drovix::agent
