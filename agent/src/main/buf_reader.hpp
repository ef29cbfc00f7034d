#pragma once
// A buffered reader over a byte stream, for reading HTTP replies line by
// line and then in blocks.
#include <cstddef>
#include <string>

#include "common/result.hpp"
#include "common/stream.hpp"

namespace drovix::agent {

class BufReader {
 public:
  explicit BufReader(ByteStream& s, size_t capacity = 8192) : s_(s), buf_(capacity, '\0') {}

  // Appends bytes up to and including the next "\n" to line; at most
  // max_len bytes are taken (an error beyond that). Returns the number of
  // bytes appended; 0 at the end of the stream. A line cut by the end of
  // the stream is returned without its "\n".
  Result<size_t> read_line(std::string& line, size_t max_len);
  // Reads up to n bytes, from the buffer first; 0 at the end of the stream
  // (and at every read after it).
  Result<size_t> read_some(char* out, size_t n);

  ByteStream& stream() { return s_; }

 private:
  Status fill();

  ByteStream& s_;
  std::string buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;  // the stream has ended; it is not read again
};

}  // namespace drovix::agent
