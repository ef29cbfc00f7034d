#include "common/stream.hpp"

namespace drovix {

Result<std::string> read_to_end(ByteStream& s, size_t max) {
  std::string out;
  char buf[16384];
  while (out.size() < max) {
    auto r = s.read_some(buf, sizeof buf);
    if (!r) return r.error();
    if (*r == 0) break;
    out.append(buf, *r);
  }
  if (out.size() > max) out.resize(max);
  return out;
}

}  // namespace drovix
