// Feeds arbitrary bytes to the host's request reader through an in-memory
// stream. The first input byte picks how the rest is cut into reads and the
// body limit, so that header and body boundaries fall everywhere.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/stream.hpp"
#include "host/src/http/message.hpp"

namespace {

class ChunkStream : public drovix::ByteStream {
 public:
  ChunkStream(std::string_view data, size_t chunk) : data_(data), chunk_(chunk) {}
  drovix::Result<size_t> read_some(char* buf, size_t n) override {
    size_t k = std::min({n, chunk_, data_.size()});
    std::memcpy(buf, data_.data(), k);
    data_.remove_prefix(k);
    return k;
  }
  drovix::Status write_all(std::string_view) override { return drovix::ok_status(); }

 private:
  std::string_view data_;
  size_t chunk_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t ctl = data[0];
  size_t chunk = (ctl & 0x0f) == 0 ? 16384 : (ctl & 0x0f) * 7;
  size_t max_body = (ctl & 0x10) ? 64 : 1 << 20;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  ChunkStream s(rest, chunk);
  auto r = drovix::host::read_request(s, "10.0.9.11", max_body);
  if (r) {
    if (r->body.size() > max_body) __builtin_trap();
    (void)drovix::host::header(*r, "content-length");
    drovix::host::HttpResponse resp;
    resp.body = r->path;
    resp.headers = r->headers;
    (void)drovix::host::write_response(s, resp);
  }
  return 0;
}
