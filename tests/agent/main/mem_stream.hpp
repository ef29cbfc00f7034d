#pragma once
// In-memory byte streams for the agent's HTTP tests.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/stream.hpp"

namespace agenttest {

// Serves the given bytes in pieces of at most `piece` bytes, then ends the
// way the test asks: a clean end (0), or an error of the given kind.
class ScriptedStream : public drovix::ByteStream {
 public:
  explicit ScriptedStream(std::string input, size_t piece = 7) : in_(std::move(input)), piece_(piece) {}
  drovix::Result<size_t> read_some(char* buf, size_t n) override {
    if (pos_ == in_.size()) {
      if (end_error_) return drovix::Error(*end_error_, end_text_);
      // Like a TLS session after a bare end of the TCP stream: the end is
      // reported once, reading on is an error.
      if (ended_) return drovix::Error(drovix::ErrorKind::Tls, "read after the end of the stream");
      ended_ = true;
      return size_t{0};
    }
    size_t k = std::min({n, piece_, in_.size() - pos_});
    in_.copy(buf, k, pos_);
    pos_ += k;
    return k;
  }
  drovix::Status write_all(std::string_view data) override {
    if (fail_writes_) return drovix::Error(drovix::ErrorKind::Io, "Broken pipe");
    out += data;
    return drovix::ok_status();
  }
  void end_with_error(drovix::ErrorKind kind, std::string text) {
    end_error_ = kind;
    end_text_ = std::move(text);
  }
  void fail_writes() { fail_writes_ = true; }

  std::string out;

 private:
  std::string in_;
  size_t piece_;
  size_t pos_ = 0;
  std::optional<drovix::ErrorKind> end_error_;
  std::string end_text_;
  bool fail_writes_ = false;
  bool ended_ = false;
};

}  // namespace agenttest
