#pragma once
// HTTP/1.1 chunked transfer coding, as the agent's client reads it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace drovix::agent {

// One chunk-size line (without its CR LF): read as text, trimmed, then an
// unsigned hexadecimal number of up to 64 bits with one optional leading
// "+". Anything else (a sign "-", a chunk extension, an empty line,
// overflow) gives nothing.
std::optional<uint64_t> parse_chunk_size(std::string_view line);

// Decodes a complete chunked body. Decoding stops, keeping what it has, at
// the zero-size chunk, at a size line that does not parse, at a size line
// without CR LF, or at a chunk that runs past the end of the input (that
// chunk is dropped). Never fails.
std::string decode_chunked(std::string_view body);

}  // namespace drovix::agent
