// The systemd and hypervisor stand-ins behave as the host expects of the
// real programs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "tests/testbed/testbed.hpp"

namespace {

using testbed::sh;
using testbed::sh_out;

struct Standins {
  testbed::TempDir state;
  std::string env;
  Standins() {
    env = "PATH=" + testbed::source_dir() + "/tools/standins:$PATH STANDIN_STATE_DIR=" + state.path() + " ";
  }
  int run(const std::string& cmd) const { return sh(env + cmd); }
  std::string out(const std::string& cmd) const { return sh_out(env + cmd); }
};

TEST(SystemdStandins, UnitStateOutputsAndExitCodes) {
  Standins s;
  testbed::TempDir tmp;
  const std::string log = tmp / "unit.log";
  testbed::write_text(log, "earlier\n");

  ASSERT_EQ(s.run("systemd-run --unit demo --collect -p StandardOutput=append:" + log +
                  " -p StandardError=append:" + log + " -p User=nobody -p MemoryMax=64M "
                  "sh -c 'echo out; echo err >&2; echo user=$STANDIN_UNIT_USER; exec sleep 300' 2>/dev/null"),
            0);
  EXPECT_EQ(s.out("systemctl is-active demo"), "active\n");
  EXPECT_EQ(s.run("systemctl is-active demo.service >/dev/null"), 0);
  EXPECT_EQ(s.run("systemd-run --unit demo true 2>/dev/null"), 1) << "a loaded unit cannot be started again";
  for (int i = 0; i < 50 && testbed::read_text(log).find("user=nobody") == std::string::npos; ++i) usleep(100000);
  EXPECT_EQ(testbed::read_text(log), "earlier\nout\nerr\nuser=nobody\n") << "output is appended";

  EXPECT_EQ(s.run("systemctl stop demo"), 0);
  EXPECT_EQ(s.out("systemctl is-active demo"), "inactive\n");
  EXPECT_EQ(s.run("systemctl is-active demo >/dev/null"), 3);

  // A failed unit without --collect stays failed until reset.
  ASSERT_EQ(s.run("systemd-run --unit broken sh -c 'exit 4' 2>/dev/null"), 0);
  sleep(1);
  EXPECT_EQ(s.out("systemctl is-active broken"), "failed\n");
  EXPECT_EQ(s.run("systemctl is-active broken >/dev/null"), 3);
  EXPECT_EQ(s.run("systemctl reset-failed broken"), 0);
  EXPECT_EQ(s.out("systemctl is-active broken"), "inactive\n");

  const std::pair<const char*, std::pair<int, const char*>> unknown[] = {
      {"stop nosuch", {5, "Failed to stop nosuch.service: Unit nosuch.service not loaded.\n"}},
      {"reset-failed nosuch", {1, "Failed to reset failed state of unit nosuch.service: Unit nosuch.service not loaded.\n"}},
      {"start nosuch", {5, "Failed to start nosuch.service: Unit nosuch.service not found.\n"}},
      {"enable --now nosuch.service", {1, "Failed to enable unit: Unit file nosuch.service does not exist.\n"}},
  };
  for (const auto& [cmd, expected] : unknown) {
    EXPECT_EQ(s.run(std::string("systemctl ") + cmd + " 2>/dev/null"), expected.first) << cmd;
    EXPECT_EQ(s.out(std::string("systemctl ") + cmd + " 2>&1"), expected.second) << cmd;
  }

  // Services with a unit file can be enabled and started.
  testbed::write_text(s.state / "unit-files/drovix-websearch.service", "[Service]\nExecStart=/bin/sleep 300\n");
  EXPECT_EQ(s.run("systemctl enable --now drovix-websearch.service 2>/dev/null"), 0);
  EXPECT_EQ(s.out("systemctl is-active drovix-websearch"), "active\n");
  EXPECT_EQ(s.run("systemctl stop drovix-websearch.service"), 0);
  EXPECT_EQ(s.out("systemctl is-active drovix-websearch"), "inactive\n");
}

TEST(HypervisorStandin, RunsTheImageAsItsGuest) {
  testbed::TempDir tmp;
  const std::string certs = tmp / "certs", image = tmp / "image";
  testbed::write_text(certs + "/hello", "from the host\n");
  testbed::write_text(image,
                      "#!/bin/sh\n/usr/bin/id -un\n/usr/bin/env | /usr/bin/sort\n/usr/bin/cat /certs/hello\n"
                      "/usr/sbin/ip -4 -o addr show eth0 | /usr/bin/awk '{print $4}'\n/usr/sbin/ip route show default\n"
                      "exit 7\n");
  ASSERT_EQ(sh("chmod 755 " + image + " && chmod 755 " + tmp.path()), 0);
  const std::string tarvo = testbed::source_dir() + "/tools/standins/tarvo";
  testbed::run_in_netns([&] {
    ASSERT_EQ(sh("ip link add cbr0 type bridge && ip addr add 10.0.9.1/24 dev cbr0 && ip link set cbr0 up && "
                 "ip tuntap add dev ctap2 mode tap && ip link set ctap2 master cbr0"),
              0);
    const std::string cmd = "STANDIN_UNIT_USER=nobody " + tarvo +
                            " --net=tap:ctap2 --memory-size 256MiB --file-mapping " + certs +
                            ":/certs -e UMBRIX_IP=10.0.9.12 -e UMBRIX_GATEWAY=10.0.9.1 "
                            "-e UMBRIX_MASK=255.255.255.0 -e OD_DRIVE= " + image;
    EXPECT_EQ(sh_out(cmd + "; echo status=$?"),
              "nobody\nOD_DRIVE=\nPWD=/\nUMBRIX_GATEWAY=10.0.9.1\nUMBRIX_IP=10.0.9.12\nUMBRIX_MASK=255.255.255.0\n"
              "from the host\n10.0.9.12/24\ndefault via 10.0.9.1 dev eth0 \nstatus=7\n");
    EXPECT_EQ(sh_out("ip -o link show type veth"), "") << "the guest's link goes with it";

    const std::pair<std::string, std::string> refused[] = {
        {"--net=tap:ctap9 --memory-size 256MiB " + image, "tarvo: tap 'ctap9' does not exist\n"},
        {"--net=tap:ctap2 --memory-size 256 " + image, "tarvo: memory size must be given as <number>MiB, got '256'\n"},
        {"--net=tap:ctap2 --memory-size 256MiB --file-mapping /nonexistent:/certs " + image,
         "tarvo: file mapping '/nonexistent:/certs': no such host folder\n"},
        {"--net=tap:ctap2 --memory-size 256MiB -e NOVALUE " + image, "tarvo: environment entry 'NOVALUE' is not NAME=VALUE\n"},
        {"--net=tap:ctap2 --memory-size 256MiB /nonexistent", "tarvo: image '/nonexistent' is not an executable file\n"},
    };
    for (const auto& [args, message] : refused) {
      EXPECT_EQ(sh_out(tarvo + " " + args + " 2>&1; echo status=$?"), message + "status=1\n") << args;
    }
  });
}

}  // namespace
