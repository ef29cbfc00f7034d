#pragma once
// Sealed JSON documents (session archives, the knowledge corpus): a 12-byte
// nonce, AES-256-GCM ciphertext and its tag, keyed by the SHA-256 digest of
// the pass phrase.
#include <string>
#include <string_view>

#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::agent {

// The opened JSON value. Errors: "blob too short", "decrypt failed (bad
// passphrase or corrupt blob)", "blob json: {}".
Result<SJson> open_sealed_blob(std::string_view sealed, std::string_view passphrase);

}  // namespace drovix::agent
