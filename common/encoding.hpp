#pragma once
// Base64, hexadecimal, random bytes and UUIDs.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace drovix {

std::string base64_encode(std::string_view bytes);           // standard, padded
std::string base64url_encode_nopad(std::string_view bytes);  // URL-safe, no padding
// Accepts the standard and the URL-safe alphabet, padded or not; nothing on
// any other character.
std::optional<std::string> base64_decode(std::string_view text);

// application/x-www-form-urlencoded: ASCII letters, digits and "*-._"
// unchanged, a blank as "+", every other byte as "%" and two upper-case
// hexadecimal digits.
std::string form_urlencode(std::string_view text);

// "%" and two hexadecimal digits become that byte; any other "%" stays.
std::string percent_decode(std::string_view text);

std::string hex_lower(std::string_view bytes);
std::optional<std::string> hex_decode(std::string_view text);

// Bytes from the system's random source.
std::string random_bytes(size_t n);
// A random version-4 UUID in the 8-4-4-4-12 lowercase layout.
std::string uuid_v4();

}  // namespace drovix
