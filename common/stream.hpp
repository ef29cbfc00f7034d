#pragma once
// A byte stream as the HTTP readers and writers see it: plain sockets, TLS
// sessions and in-memory test streams all fit behind it.
#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace drovix {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Reads up to n bytes; 0 means end of stream.
  virtual Result<size_t> read_some(char* buf, size_t n) = 0;
  // Writes all bytes or fails.
  virtual Status write_all(std::string_view data) = 0;
  // Ends the session cleanly (TLS close_notify) and pushes out whatever is
  // pending. Plain streams only flush.
  virtual Status finish() { return ok_status(); }
};

// Reads until end of stream or until max bytes have been read.
Result<std::string> read_to_end(ByteStream& s, size_t max);

}  // namespace drovix
