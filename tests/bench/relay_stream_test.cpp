// Runs the relay streaming benchmark briefly to prove it works; the numbers
// it prints are not checked (a loaded machine moves them a lot).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/testbed/testbed.hpp"

TEST(BenchRelayStream, RunsBothRoadsAndPrintsTheRatios) {
  std::string bin = testbed::binary_dir() + "/bench/bench_relay_stream";
  if (::access(bin.c_str(), X_OK) != 0) GTEST_SKIP() << "benchmarks not built (DROVIX_BENCH=OFF)";
  ASSERT_TRUE(testbed::is_root()) << "the benchmark makes a network namespace";
  std::string out = testbed::sh_out(bin + " 5 20 16 2>&1; echo \"EXIT=$?\"");
  std::printf("%s", out.c_str());
  EXPECT_NE(out.find("EXIT=0"), std::string::npos) << out;
  for (const char* line : {"first byte (", "event delay (", "throughput ("}) {
    auto at = out.find(line);
    ASSERT_NE(at, std::string::npos) << line << "\n" << out;
    EXPECT_NE(out.find("ratio relay/direct ", at), std::string::npos) << line;
  }
}
