// Runs the TLS connection benchmark briefly to prove it works; the numbers
// it prints are not checked (a loaded machine moves them a lot).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/testbed/testbed.hpp"

TEST(BenchTlsVsNginx, RunsBothSidesAndPrintsTheRatio) {
  std::string bin = testbed::binary_dir() + "/bench/bench_tls_connections";
  if (::access(bin.c_str(), X_OK) != 0) GTEST_SKIP() << "benchmarks not built (DROVIX_BENCH=OFF)";
  if (testbed::sh("command -v wrk >/dev/null && test -x /usr/sbin/nginx") != 0) GTEST_SKIP() << "wrk or nginx missing";
  std::string out = testbed::sh_out("BENCH_BIN=" + bin + " " + testbed::source_dir() +
                                    "/tools/bench/tls-vs-nginx.sh 2 16 2 2>/dev/null; echo \"EXIT=$?\"");
  std::printf("%s", out.c_str());
  EXPECT_NE(out.find("EXIT=0"), std::string::npos) << out;
  auto pos = out.find("ratio drovix/nginx ");
  ASSERT_NE(pos, std::string::npos) << out;
  double ratio = std::atof(out.c_str() + pos + 19);
  EXPECT_GT(ratio, 0.0) << "both servers answered";
}
