#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "common/process.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix;
using Clock = std::chrono::steady_clock;

namespace {

// Gone, or a zombie waiting for a parent that is not us.
bool process_gone(pid_t pid) {
  for (int i = 0; i < 100; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!stat || !std::getline(stat, line)) return true;
    auto close = line.rfind(')');
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

pid_t read_pid(const std::string& path) { return static_cast<pid_t>(std::stol(testbed::read_text(path))); }

}  // namespace

TEST(RunCommand, TimeOutKillsTheCommandAndWhatItStarted) {
  testbed::TempDir dir;
  std::string script = "sleep 30 & echo $! > " + (dir / "child") + "; echo $$ > " + (dir / "shell") + "; wait";
  auto start = Clock::now();
  auto out = run_command({"sh", "-c", script}, 1);
  auto took = Clock::now() - start;

  EXPECT_FALSE(out.has_value());
  EXPECT_GE(took, std::chrono::seconds(1));
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_TRUE(process_gone(read_pid(dir / "shell")));
  EXPECT_TRUE(process_gone(read_pid(dir / "child")));
}

TEST(RunCommand, FailingCommandGivesItsStatusAndOutput) {
  auto out = run_command({"sh", "-c", "echo out; echo err >&2; exit 1"}, 5);
  ASSERT_TRUE(out.has_value());
  EXPECT_NE(out->status, 0);
  EXPECT_TRUE(WIFEXITED(out->status));
  EXPECT_EQ(WEXITSTATUS(out->status), 1);
  EXPECT_EQ(out->stdout_bytes, "out\n");
  EXPECT_EQ(out->stderr_bytes, "err\n");

  auto ok = run_command({"true"}, 5);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->status, 0);
}

TEST(RunCommand, ProgramThatCannotStartGivesNothingAtOnce) {
  auto start = Clock::now();
  EXPECT_FALSE(run_command({"drovix-no-such-program"}, 5).has_value());
  EXPECT_FALSE(run_command({"/nonexistent/bin/tool", "-x"}, 5).has_value());
  EXPECT_FALSE(run_command({}, 5).has_value());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

TEST(RunCommand, OutputLargerThanAPipeIsCollectedWhole) {
  // A MiB on each stream at once: neither may stall the command.
  auto out = run_command({"sh", "-c", "head -c 1048576 /dev/zero; head -c 1048576 /dev/zero >&2"}, 10);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->status, 0);
  EXPECT_EQ(out->stdout_bytes.size(), 1048576u);
  EXPECT_EQ(out->stderr_bytes.size(), 1048576u);
}

TEST(RunCommand, StandardInputIsEmptyAndBrokenPipeIsDefault) {
  // cat ends at once on the null device instead of waiting on our input.
  auto out = run_command({"cat"}, 5);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->status, 0);
  EXPECT_EQ(out->stdout_bytes, "");

  // A daemon ignores SIGPIPE; the commands it runs must not inherit that.
  auto old = ::signal(SIGPIPE, SIG_IGN);
  auto piped = run_command({"sh", "-c", "yes | head -c 3"}, 5);
  ::signal(SIGPIPE, old);
  ASSERT_TRUE(piped.has_value());
  EXPECT_EQ(piped->stdout_bytes, "y\ny");
  EXPECT_EQ(piped->status, 0);
  EXPECT_EQ(piped->stderr_bytes, "");  // no "Broken pipe" complaint
}

TEST(RunCommand, ReturnsWhenTheCommandEndsEvenIfSomethingItStartedHoldsThePipe) {
  testbed::TempDir dir;
  auto start = Clock::now();
  auto out = run_command({"sh", "-c", "sleep 20 & echo $! > " + (dir / "bg") + "; echo done"}, 10);
  auto took = Clock::now() - start;
  pid_t bg = read_pid(dir / "bg");
  ::kill(bg, SIGKILL);
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->status, 0);
  EXPECT_EQ(out->stdout_bytes, "done\n");
  EXPECT_LT(took, std::chrono::seconds(3));
}
