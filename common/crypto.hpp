#pragma once
// Digests, HMAC and sealed blobs (OpenSSL).
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace drovix {

std::string sha256(std::string_view data);  // 32 raw bytes
std::string sha1(std::string_view data);    // 20 raw bytes
std::string hmac_sha256(std::string_view key, std::string_view data);
// Constant-time comparison of two byte strings (a length difference is
// not hidden).
bool constant_time_equal(std::string_view a, std::string_view b);

// A sealed blob: 12-byte random nonce, AES-256-GCM ciphertext, 16-byte tag,
// no associated data, keyed by the SHA-256 digest of a pass phrase.
std::string seal_blob(std::string_view plaintext, std::string_view passphrase);
// Errors: "blob too short" (under 28 bytes) and
// "decrypt failed (bad passphrase or corrupt blob)".
Result<std::string> open_blob(std::string_view blob, std::string_view passphrase);

}  // namespace drovix
