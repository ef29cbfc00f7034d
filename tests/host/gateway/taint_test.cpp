#include "host/src/gateway/taint.hpp"

#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "fixture.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::host;
using drovix::OJson;
using namespace gateway_test;

namespace {

std::string records_of(const std::string& answer) {
  std::string out;
  for (const auto& r : taint_records(answer)) out += r + "\n";
  return out;
}

}  // namespace

TEST(TaintRecords, CellsAndTotals) {
  struct Case {
    const char* answer;
    const char* records;
  } cases[] = {
      {"a\tb\n", ""},
      {"a\n1,234.50\n", "n:1234.5\n"},
      {"a\n1000\n", "n:1000.0\n"},
      {"a\n -5,000 \n", "n:-5000.0\n"},
      {"a\n2e3\n", "n:2000.0\n"},
      {"a\n1e16\n", "n:1e16\n"},
      {"a\n2.5E20\n", "n:2.5e20\n"},
      {"a\n999\n", ""},
      {"a\n600\n500\n", "n:1100.0\n"},
      {"a\tb\n600\t1\n", ""},
      {"a\n$1,000\n", "s:$1,000\n"},
      {"a\nACC-00123\n", "s:acc-00123\n"},
      {"a\nAB12\nEURUSD\n", ""},
      {"a\n2025-03-04\n", "s:2025-03-04\n"},
      {"a\nInfinity\n", "n:inf\n"},
      {"a\n-inf\n", "n:-inf\n"},
      {"a\nNaN\n", ""},
      {"a\n1_000\n0x1000\n", "s:0x1000\ns:1_000\n"},
      {"a\nBOND\u00bd2030\n", "s:bond\u00bd2030\n"},
      {"a\tb\n1500\tX-1234\n1500\tX-1234\n", "n:1500.0\nn:3000.0\ns:x-1234\n"},
      {"a\tb\r\n1500\tX-1234\r\n", "n:1500.0\ns:x-1234\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(records_of(c.answer), c.records) << c.answer;
}

TEST(TaintRecords, NumberForms) {
  EXPECT_EQ(taint_number_text(1234.5), "1234.5");
  EXPECT_EQ(taint_number_text(0.1 + 1000.2), "1000.3000000000001");
  EXPECT_EQ(taint_number_text(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(taint_number_text(1.2345e300), "1.2345e300");
  EXPECT_EQ(taint_number_text(-1e16), "-1e16");
  for (const char* bad : {"", "+", ".", "1e", "e5", "1.2.3", " 1", "1 000", "inf1", "--1"})
    EXPECT_FALSE(taint_number(bad).has_value()) << bad;
  EXPECT_EQ(taint_number("+.5e1"), 5.0);
  EXPECT_TRUE(std::isinf(*taint_number("1e999")));
}

TEST(TaintFile, BlocksAppendToTheSessionsFile) {
  reset_state();
  write_sessions(OJson{{"8003", lake_session("rates", "2025-03-04 09:15:02")}});
  const std::string file = home().dir + "/vmstate/taint/8003@2025-03-04T09:15:02.txt";

  record_taint("10.0.9.13", "a\n");
  record_taint("10.0.9.19", "a\n123456\n");
  EXPECT_FALSE(std::filesystem::exists(home().dir + "/vmstate/taint"));

  record_taint("10.0.9.13", "a\tb\nACC-00123\t123456\n");
  record_taint("10.0.9.13", "a\n123456\n");
  EXPECT_EQ(testbed::read_text(file), "n:123456.0\ns:acc-00123\nn:123456.0\n");

  // A session of no registry record writes under an empty start.
  record_taint("10.0.9.14", "a\n123456\n");
  EXPECT_EQ(testbed::read_text(home().dir + "/vmstate/taint/8004@.txt"), "n:123456.0\n");
}

TEST(TaintFile, ConcurrentBlocksNeverInterleave) {
  reset_state();
  write_sessions(OJson{{"8005", lake_session("rates", "2025-01-01 00:00:00")}});
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      std::string answer = "v\n";
      for (int i = 0; i < 2000; ++i) answer += "ID-" + std::to_string(t) + "-" + std::to_string(10000 + i) + "\n";
      for (int k = 0; k < 5; ++k) record_taint("10.0.9.15", answer);
    });
  for (auto& th : threads) th.join();
  std::istringstream in(testbed::read_text(home().dir + "/vmstate/taint/8005@2025-01-01T00:00:00.txt"));
  // Every run of 2000 lines must come from one block: one thread, in order.
  std::string line;
  int lines = 0;
  std::string block_owner;
  std::string previous;
  while (std::getline(in, line)) {
    std::string owner = line.substr(0, line.find('-', 5));
    if (lines % 2000 == 0) {
      block_owner = owner;
    } else {
      ASSERT_EQ(owner, block_owner) << "line " << lines;
      ASSERT_LT(previous, line);
    }
    previous = line;
    ++lines;
  }
  EXPECT_EQ(lines, 8 * 5 * 2000);
}
