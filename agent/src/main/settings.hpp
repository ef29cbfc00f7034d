#pragma once
// Settings and patterns needed deep inside the agent, each computed once on
// first use and then shared read-only for the life of the process. A /certs
// file that changes after the first use is not seen again.
#include <optional>
#include <string>
#include <vector>

#include <re2/re2.h>

#include "common/json.hpp"

namespace drovix::agent {

// The "recipes" array of /certs/recipes.json; empty when absent.
const std::vector<SJson>& recipes_config();
// The "sharepoint_root" text of /certs/appliance.json, trimmed of white
// space and then of "/" at both ends; empty when absent.
const std::string& sharepoint_root_config();
// True exactly when /certs/appliance.json has "reader": true.
bool reader_enabled_config();

// The array under key in a /certs JSON file (read as a text file); empty
// when the file is absent, not JSON, or the value is not an array.
std::vector<SJson> certs_json_array(const std::string& file, const char* key);

// The same rules over a file's text (nothing when the file is absent).
std::vector<SJson> json_array_member(const std::optional<std::string>& text, const char* key);
std::string sharepoint_root_from(const std::optional<std::string>& appliance_text);
bool reader_enabled_from(const std::optional<std::string>& appliance_text);

// A clause number such as "1.", "(a)" or "iv)" and the white space after it,
// at the start of a text.
const re2::RE2& numbering_pattern();
// One clause token: groups slot, law, amount, percent, date, time, number,
// word and punct, tried in that order.
const re2::RE2& clause_token_pattern();

}  // namespace drovix::agent
