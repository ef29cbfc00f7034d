#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/src/main/startup.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::host;

namespace {

std::string host_binary() { return testbed::binary_dir() + "/host/drovix-host"; }

struct HostRun {
  int status = -1;  // exit code, or -1 while still running when stopped
  std::string out, err;
};

// Starts the daemon with the given arguments and DROVIX_HOME; waits until
// it exits or until its standard output holds `until` (then kills it).
HostRun run_host(const std::vector<std::string>& args, const std::string& home, const std::string& until = "",
             int max_seconds = 20) {
  int out_pipe[2], err_pipe[2];
  EXPECT_EQ(::pipe(out_pipe), 0);
  EXPECT_EQ(::pipe(err_pipe), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    ::setenv("DROVIX_HOME", home.c_str(), 1);
    std::vector<char*> argv;
    std::string bin = host_binary();
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  HostRun r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(max_seconds);
  bool killed = false;
  for (;;) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(out_pipe[0], &fds);
    FD_SET(err_pipe[0], &fds);
    timeval tv{0, 100000};
    int n = ::select(std::max(out_pipe[0], err_pipe[0]) + 1, &fds, nullptr, nullptr, &tv);
    char buf[4096];
    bool eof = false;
    if (n > 0 && FD_ISSET(out_pipe[0], &fds)) {
      ssize_t k = ::read(out_pipe[0], buf, sizeof buf);
      if (k > 0) r.out.append(buf, k); else eof = true;
    }
    if (n > 0 && FD_ISSET(err_pipe[0], &fds)) {
      ssize_t k = ::read(err_pipe[0], buf, sizeof buf);
      if (k > 0) r.err.append(buf, k);
    }
    if (!until.empty() && r.out.find(until) != std::string::npos) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (eof) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      killed = true;
      break;
    }
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  r.status = killed ? -1 : (WIFEXITED(st) ? WEXITSTATUS(st) : -2);
  return r;
}

void write_home(const testbed::TempDir& home, const std::string& host_json) {
  auto pki = testbed::make_test_pki("drovix.test");
  testbed::write_test_certs(pki, home.path() + "/fleetcerts");
  testbed::write_text(home.path() + "/fleetcerts/host.json", host_json);
}

}  // namespace

TEST(HostStartup, VersionQueryAnywhereInArgv) {
  // The home does not exist: the version query reads no file.
  for (std::vector<std::string> args : {std::vector<std::string>{"-V", "x"}, {"x", "--version"}}) {
    HostRun r = run_host(args, "/nonexistent/drovix");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "drovix-host 0.1.0\n");
  }
  char prog[] = "drovix-host", big_v[] = "-V", small_v[] = "-v", versions[] = "--versions";
  char* a1[] = {prog, big_v};
  char* a2[] = {prog, small_v};
  char* a3[] = {prog, versions};
  EXPECT_TRUE(wants_version(2, a1));
  EXPECT_FALSE(wants_version(2, a2));
  EXPECT_FALSE(wants_version(2, a3));
}

TEST(HostStartup, OtherArgumentsStartNormallyAndABadKeyPairEndsStartUp) {
  testbed::TempDir home;
  auto pki = testbed::make_test_pki("drovix.test");
  testbed::write_text(home / "fleetcerts/fullchain.pem", pki.cert_pem);
  testbed::write_text(home / "fleetcerts/privkey.pem", pki.other_key_pem);  // not the certificate's key
  for (std::vector<std::string> args : {std::vector<std::string>{"-v"}, {"--versions"}}) {
    HostRun r = run_host(args, home.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("[drovix-host] TLS certificate in " + home.path() + "/fleetcerts: ", 0), 0u) << r.err;
  }
}

TEST(HostStartup, BannerForBothConsolePorts) {
  HostConfig cfg;
  cfg.hostname = "fleet.example";
  cfg.home = "/srv/x";
  cfg.agent_bin = "/srv/x/bin/drovix-agent";
  cfg.hypervisor = "/srv/x/bin/tarvo";
  cfg.clickhouse.url = "http://127.0.0.1:8123/";
  cfg.console_port = 443;
  EXPECT_EQ(start_banner(cfg, false, 0),
            "[drovix-host] 0.1.0 \xE2\x80\x94 console https://fleet.example (agents :8001-8008), gateway "
            "https://10.0.9.1:443; ClickHouse http://127.0.0.1:8123/ as default; host fleet.example, home /srv/x; "
            "agent /srv/x/bin/drovix-agent; tarvo /srv/x/bin/tarvo; SharePoint NOT SET; origin copy off; customer CAs 0\n");
  cfg.console_port = 8443;
  cfg.clickhouse.user = "audit";
  cfg.origin.enabled = true;
  std::string b = start_banner(cfg, true, 2);
  EXPECT_NE(b.find("console https://fleet.example:8443 (agents"), std::string::npos);
  EXPECT_NE(b.find("ClickHouse http://127.0.0.1:8123/ as audit;"), std::string::npos);
  EXPECT_NE(b.find("SharePoint set; origin copy on; customer CAs 2\n"), std::string::npos);
}

TEST(HostStartup, CustomerCasCountOnlyCertificates) {
  testbed::TempDir d;
  EXPECT_EQ(count_customer_cas(d.path()), 0);
  auto a = testbed::make_test_pki("a.test");
  auto b = testbed::make_test_pki("b.test");
  testbed::write_text(d / "ca.pem", a.ca_pem + b.other_key_pem + b.ca_pem + "-----BEGIN CERTIFICATE-----\n@@@\n");
  EXPECT_EQ(count_customer_cas(d.path()), 2);
}

TEST(HostStartup, ServesBothListenersInItsNamespace) {
  testbed::run_in_netns([] {
    ASSERT_EQ(testbed::sh("ip link add gw0 type bridge && ip addr add 10.0.9.1/24 dev gw0 && ip link set gw0 up"), 0);
    for (int port : {8443, 443}) {
      testbed::TempDir home;
      write_home(home, "{\"hostname\":\"drovix.test\",\"console_port\":" + std::to_string(port) +
                           ",\"clickhouse\":{\"url\":\"http://127.0.0.1:1\"}}");
      // Start the daemon, wait for the banner, then talk to both listeners.
      int out_pipe[2];
      ASSERT_EQ(::pipe(out_pipe), 0);
      pid_t pid = ::fork();
      if (pid == 0) {
        ::dup2(out_pipe[1], 1);
        ::setenv("DROVIX_HOME", home.path().c_str(), 1);
        std::string bin = host_binary();
        ::execl(bin.c_str(), bin.c_str(), (char*)nullptr);
        ::_exit(127);
      }
      ::close(out_pipe[1]);
      std::string out;
      char buf[4096];
      auto banner_seen = [&] {
        auto at = out.find("[drovix-host] 0.1.0 ");
        return at != std::string::npos && out.find('\n', at) != std::string::npos;
      };
      while (!banner_seen()) {
        ssize_t k = ::read(out_pipe[0], buf, sizeof buf);
        if (k <= 0) break;
        out.append(buf, k);
      }
      std::string expect_console = port == 443 ? "console https://drovix.test (agents" : "console https://drovix.test:8443 (agents";
      EXPECT_NE(out.find(expect_console), std::string::npos) << out;
      std::string curl = "curl -s --max-time 5 --cacert " + home.path() + "/fleetcerts/ca.pem --resolve drovix.test:";
      std::string console = testbed::sh_out(curl + std::to_string(port) + ":127.0.0.1 https://drovix.test:" +
                                            std::to_string(port) + "/relay/anthropic");
      // The console side never relays, whatever the path.
      EXPECT_EQ(console.rfind("{\"error\":", 0), 0u) << console;
      EXPECT_EQ(console.find("relay_error"), std::string::npos) << console;
      std::string relay = testbed::sh_out(curl + "443:10.0.9.1 https://drovix.test/relay/anthropic/v1/messages");
      EXPECT_NE(relay.find("\"type\":\"relay_error\""), std::string::npos) << relay;
      // Every other path on the gateway address reaches the gateway router.
      std::string gw = testbed::sh_out(curl + "443:10.0.9.1 https://drovix.test/healthz");
      EXPECT_EQ(gw, "{\"ok\":true}");
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ::close(out_pipe[0]);
    }
  });
}
