#pragma once
// Small routines around the agent's HTTP traffic: certificate chains from
// PEM, writing to the browser, request bodies and the messages a plain
// exchange adds to the history.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"
#include "common/result.hpp"
#include "common/stream.hpp"

namespace drovix::agent {

// The DER bytes of every CERTIFICATE section, in file order; other sections
// are skipped. A malformed section, or a certificate that does not parse,
// is an error.
Result<std::vector<std::string>> pem_certs(std::string_view pem_text);

// Writes the bytes whole to the browser's connection.
Status write_to_client(ByteStream& client, std::string_view bytes);

// {"role":"user","content":prompt} and {"role":"assistant","content":answer},
// an empty answer written as "(no output)".
std::array<SJson, 2> exchange_messages(const std::string& prompt, const std::string& answer);

// The whole text as JSON; nothing when it does not parse.
std::optional<SJson> parse_json_body(std::string text);

}  // namespace drovix::agent
