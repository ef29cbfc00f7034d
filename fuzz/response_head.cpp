// Feeds arbitrary bytes to the agent's reply reader (head and body), cut
// into reads of a size chosen by the first input byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "agent/src/main/buf_reader.hpp"
#include "agent/src/main/http_client.hpp"
#include "agent/src/main/response_head.hpp"

namespace {

class FuzzStream : public drovix::ByteStream {
 public:
  FuzzStream(const uint8_t* data, size_t size, size_t piece)
      : data_(reinterpret_cast<const char*>(data)), size_(size), piece_(piece) {}
  drovix::Result<size_t> read_some(char* buf, size_t n) override {
    size_t k = std::min({n, piece_, size_ - pos_});
    std::copy(data_ + pos_, data_ + pos_ + k, buf);
    pos_ += k;
    return k;
  }
  drovix::Status write_all(std::string_view) override { return drovix::ok_status(); }

 private:
  const char* data_;
  size_t size_;
  size_t piece_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = 1 + data[0] % 64;
  {
    FuzzStream s(data + 1, size - 1, piece);
    drovix::agent::BufReader in(s, 64);
    auto head = drovix::agent::read_response_head(in);
    if (head && head->location.size() > size) __builtin_trap();
  }
  {
    FuzzStream s(data + 1, size - 1, piece);
    auto reply = drovix::agent::read_reply(s);
    if (reply && reply->body.size() > size) __builtin_trap();
  }
  return 0;
}
