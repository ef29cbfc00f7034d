#include "agent/src/main/buf_reader.hpp"

#include <cstring>

namespace drovix::agent {

Status BufReader::fill() {
  pos_ = end_ = 0;
  if (eof_) return ok_status();
  auto r = s_.read_some(buf_.data(), buf_.size());
  if (!r) return r.error();
  end_ = *r;
  eof_ = end_ == 0;
  return ok_status();
}

Result<size_t> BufReader::read_line(std::string& line, size_t max_len) {
  size_t taken = 0;
  for (;;) {
    if (pos_ == end_) {
      if (auto st = fill(); !st) return st.error();
      if (end_ == 0) return taken;
    }
    const char* start = buf_.data() + pos_;
    const void* nl = std::memchr(start, '\n', end_ - pos_);
    size_t n = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) + 1 : end_ - pos_;
    if (taken + n > max_len) return Error(ErrorKind::InvalidData, "line too long");
    line.append(start, n);
    pos_ += n;
    taken += n;
    if (nl) return taken;
  }
}

Result<size_t> BufReader::read_some(char* out, size_t n) {
  if (n == 0) return size_t{0};
  if (pos_ == end_) {
    // Large reads bypass the buffer.
    if (n >= buf_.size() && !eof_) {
      auto r = s_.read_some(out, n);
      if (r && *r == 0) eof_ = true;
      return r;
    }
    if (auto st = fill(); !st) return st.error();
    if (end_ == 0) return size_t{0};
  }
  size_t k = std::min(n, end_ - pos_);
  std::memcpy(out, buf_.data() + pos_, k);
  pos_ += k;
  return k;
}

}  // namespace drovix::agent
