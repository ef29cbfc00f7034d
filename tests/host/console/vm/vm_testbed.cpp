#include "tests/host/console/vm/vm_testbed.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

namespace vmtest {

namespace fs = std::filesystem;

namespace {

struct Home {
  std::string path;
  Home() {
    char tmpl[] = "/tmp/drovix-vmhome-XXXXXX";
    path = ::mkdtemp(tmpl);
    const std::string certs = path + "/fleetcerts";
    testbed::write_test_certs(testbed::shared_test_pki(), certs);
    drovix::OJson host = {{"hostname", "localhost"},
                          {"tarvo", testbed::source_dir() + "/tools/standins/tarvo"},
                          {"agent_bin", testbed::source_dir() + "/tools/testimages/tls-image"}};
    testbed::write_text(certs + "/host.json", host.dump());
    ::setenv("DROVIX_HOME", path.c_str(), 1);
  }
  ~Home() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

const drovix::host::HostConfig& config() {
  static Home home;
  const auto& cfg = drovix::host::host_config();
  EXPECT_EQ(cfg.home, home.path) << "the host configuration was loaded before the test's base folder was set";
  return cfg;
}

void use_standins() {
  static int counter = 0;
  std::string path = testbed::source_dir() + "/tools/standins:" + std::getenv("PATH");
  ::setenv("PATH", path.c_str(), 1);
  // Below the base folder, which the test process removes at its end.
  std::string state = config().home + "/standins/" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  fs::remove_all(state);
  fs::create_directories(state);
  ::setenv("STANDIN_STATE_DIR", state.c_str(), 1);
}

void clear_vmstate() {
  std::error_code ec;
  fs::remove_all(config().home + "/vmstate", ec);
}

std::string iptables_rules() {
  std::istringstream in(testbed::sh_out("iptables-save -t filter; iptables-save -t nat"));
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == ':') line = line.substr(0, line.find(" ["));
    out += line + "\n";
  }
  return out;
}

std::vector<std::string> chain_rules(const std::string& chain) {
  std::istringstream in(testbed::sh_out("iptables -S " + chain + " 2>/dev/null"));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

NetnsProcess::NetnsProcess() {
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::execlp("unshare", "unshare", "--net", "sleep", "3600", nullptr);
    ::_exit(127);
  }
  std::string own = fs::read_symlink("/proc/self/ns/net").string();
  eventually(
      [&] {
        std::error_code ec;
        auto ns = fs::read_symlink("/proc/" + std::to_string(pid_) + "/ns/net", ec);
        return !ec && ns.string() != own;
      },
      5000);
  sh("ip link set lo up");
}

NetnsProcess::~NetnsProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int NetnsProcess::sh(const std::string& cmdline) const {
  return testbed::sh("nsenter -t " + std::to_string(pid_) + " -n sh -c '" + cmdline + "'");
}

bool eventually(const std::function<bool()>& pred, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace vmtest
