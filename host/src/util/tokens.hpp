#pragma once
// Random tokens, lenient JSON fields, names and time.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.hpp"

namespace drovix::host {

std::string random_token(size_t n);  // URL-safe base64, no padding
std::string random_hex(size_t n);    // lower-case hex, 2n characters

bool json_flag(const OJson& object, const std::string& key);
// JSON truthiness of one value (null false, numbers unless zero, texts,
// arrays and objects unless empty).
bool json_truthy(const OJson& value);
std::string json_get_str(const OJson& object, const std::string& key);
std::string json_to_text(const OJson* value);
std::optional<int64_t> json_as_i64(const OJson* value);
OJson object_or_empty(const OJson* value);

std::string take_chars(std::string_view text, size_t n);
std::string sanitize_name(std::string_view text);
int64_t unix_now();

}  // namespace drovix::host
