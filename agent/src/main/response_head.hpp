#pragma once
// Reading the head of an HTTP/1.1 reply.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "agent/src/main/buf_reader.hpp"
#include "common/result.hpp"

namespace drovix::agent {

struct ResponseHead {
  uint16_t status = 0;  // 0 when the status line has no valid code
  bool chunked = false;
  std::string location;  // the last "location" header, trimmed
  // The "content-length" header when it is a plain decimal number.
  std::optional<uint64_t> content_length;
};

// Reads the status line and the header lines up to the blank line (or the
// end of the stream). Errors: "read status: {}" and "hdr: {}".
Result<ResponseHead> read_response_head(BufReader& in);

// Equal length and equal bytes after folding ASCII A-Z to lower case.
bool ascii_eq_ignore_case(std::string_view a, std::string_view b);

}  // namespace drovix::agent
