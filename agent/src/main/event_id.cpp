#include "agent/src/main/event_id.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>

namespace drovix::agent {

std::string new_event_id() {
  static std::atomic<uint64_t> counter{0};
  uint64_t nanos = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  unsigned char b[16];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(nanos >> (56 - 8 * i));
  for (int i = 0; i < 8; ++i) b[8 + i] = static_cast<unsigned char>(n >> (56 - 8 * i));
  // The counter alone keeps identifiers apart: it stays below 2^62, so the
  // variant bits never cover any of its bits.
  b[6] = static_cast<unsigned char>(0x40 | (b[6] & 0x0f));
  b[8] = static_cast<unsigned char>(0x80 | (b[8] & 0x3f));
  char out[37];
  std::snprintf(out, sizeof out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

}  // namespace drovix::agent
