#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/src/console/network.hpp"
#include "tests/host/console/vm/vm_testbed.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

using testbed::sh;

TEST(VmPortFromIp, MapsOnlyAgentAddresses) {
  const std::pair<const char*, uint16_t> cases[] = {
      {"10.0.9.11", 8001}, {"10.0.9.18", 8008}, {"10.0.9.+14", 8004}, {"10.0.9.011", 8001},
      {"10.0.9.1", 0},     {"10.0.9.10", 0},    {"10.0.9.19", 0},     {"10.0.10.11", 0},
      {"10.0.9.", 0},      {"10.0.9.1x", 0},    {"10.0.9.-11", 0},    {"10.0.9.65547", 0},
      {"110.0.9.11", 0},   {"", 0},
  };
  for (const auto& [ip, port] : cases) EXPECT_EQ(vm_port_from_ip(ip), port) << ip;
}

TEST(OutsideInterface, IsTheWordAfterDev) {
  EXPECT_EQ(outside_interface_from("default via 192.0.2.1 dev eth3 proto dhcp metric 100\n"), "eth3");
  EXPECT_EQ(outside_interface_from(""), "ext0");
  EXPECT_EQ(outside_interface_from("default via 192.0.2.1 dev"), "ext0");
  EXPECT_EQ(outside_interface_from("default dev wan0 scope link\ndefault via 1.2.3.4 dev other\n"), "wan0");
}

TEST(CredsOutsideAddresses, KeepsCompleteOutsideAddressesOnce) {
  auto creds = OJson::parse(R"([
    {"ip": "192.0.2.9"}, {"ip": "192.0.2.10"}, {"ip": "192.0.2.9"},
    {"ip": "10.0.9.1"}, {"ip": "10.0.9.5"}, {"ip": "10.0.90.7"},
    {"ip": "1.2.3"}, {"ip": "example.com"}, {"ip": "192.000.002.001"}, {"ip": "1.2.3.4 "},
    {"ip": ""}, {"ip": 17}, {"service_id": "no ip"}, "not an object"
  ])");
  EXPECT_EQ(creds_outside_addresses(creds), (std::vector<std::string>{"10.0.90.7", "192.0.2.10", "192.0.2.9"}));
  EXPECT_TRUE(creds_outside_addresses(OJson::object()).empty());
}

// Network set-up a second time (a daemon restart) changes nothing, and an
// older NAT rule without --random-fully is replaced.
TEST(HostNetwork, SetupTwiceLeavesTheSameRules) {
  vmtest::config();
  testbed::run_in_netns([] {
    vmtest::use_standins();
    ASSERT_EQ(sh("ip link add wan0 type veth peer name wan0p && ip link set wan0 up && "
                 "ip addr add 192.0.2.1/24 dev wan0 && ip route add default via 192.0.2.2 dev wan0"),
              0);
    const std::string old_rule = "iptables -t nat -A POSTROUTING -s 10.0.9.0/24 -o wan0 -j MASQUERADE";
    ASSERT_EQ(sh(old_rule + " && " + old_rule), 0);

    setup_host_network();
    const std::string first = vmtest::iptables_rules();
    setup_host_network();
    EXPECT_EQ(vmtest::iptables_rules(), first);

    EXPECT_NE(first.find("-A POSTROUTING -s 10.0.9.0/24 -o wan0 -j MASQUERADE --random-fully\n"), std::string::npos)
        << first;
    EXPECT_EQ(first.find("MASQUERADE\n"), std::string::npos) << "the old rule is gone";
    EXPECT_NE(first.find("-A FORWARD -j DROVIX-AGENTS\n"), std::string::npos);
    EXPECT_NE(first.find("-A INPUT -s 10.0.9.0/24 -j DROVIX-AGENTS-IN\n"), std::string::npos);
    EXPECT_EQ(testbed::sh_out("cat /proc/sys/net/ipv4/ip_forward"), "1\n");
    std::string addrs = testbed::sh_out("ip -4 -o addr show dev cbr0");
    EXPECT_NE(addrs.find("10.0.9.1/24"), std::string::npos);
    EXPECT_NE(addrs.find("10.0.9.5/32"), std::string::npos);
  });
}

// Units of slots 8001, 8003 and 8004 run; 8002 has a service list but no
// running unit; 8004's list is not valid JSON; 8005 is being started.
TEST(AgentFirewall, RebuildHoldsExactlyTheListedRules) {
  const auto& cfg = vmtest::config();
  testbed::run_in_netns([&] {
    vmtest::use_standins();
    vmtest::clear_vmstate();
    ::setenv("WEBSEARCH_IP", "10.0.9.6", 1);
    auto creds = [&](int port, const std::string& text) {
      testbed::write_text(cfg.home + "/vmstate/" + std::to_string(port) + "/certs/creds.json", text);
    };
    creds(8001, R"([{"ip":"198.51.100.20"},{"ip":"198.51.100.3"},{"ip":"198.51.100.20"},{"ip":"10.0.9.1"},
                    {"ip":"10.0.90.7"},{"ip":"1.2.3"},{"ip":"gateway.example"},{"ip":"198.51.100.200 "}])");
    creds(8002, R"([{"ip":"198.51.100.99"}])");
    creds(8003, R"([{"ip":"198.51.100.3"}])");
    creds(8004, R"([{"ip":"198.51.100.4"})");
    creds(8005, R"([{"ip":"203.0.113.5"}])");
    for (int port : {8001, 8003, 8004}) {
      ASSERT_EQ(sh("systemd-run --unit drovix-vm-" + std::to_string(port) + " --collect sleep 300 2>/dev/null"), 0);
    }
    ASSERT_EQ(sh("iptables -N DROVIX-AGENTS && iptables -N DROVIX-AGENTS-IN && "
                 "iptables -A DROVIX-AGENTS -j ACCEPT"),
              0);

    testing::internal::CaptureStdout();
    rebuild_agent_firewall(true, 8005);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log, "[egress] agent firewall rebuilt: 5 outside address rule(s)\n");

    EXPECT_EQ(vmtest::chain_rules("DROVIX-AGENTS"),
              (std::vector<std::string>{
                  "-N DROVIX-AGENTS",
                  "-A DROVIX-AGENTS -d 10.0.10.0/24 -j RETURN",
                  "-A DROVIX-AGENTS -s 10.0.10.0/24 -j RETURN",
                  "-A DROVIX-AGENTS -d 10.0.9.0/24 -m conntrack --ctstate RELATED,ESTABLISHED -j ACCEPT",
                  "-A DROVIX-AGENTS -s 10.0.9.11/32 -d 10.0.90.7/32 -p tcp -m tcp --dport 443 -j ACCEPT",
                  "-A DROVIX-AGENTS -s 10.0.9.11/32 -d 198.51.100.20/32 -p tcp -m tcp --dport 443 -j ACCEPT",
                  "-A DROVIX-AGENTS -s 10.0.9.11/32 -d 198.51.100.3/32 -p tcp -m tcp --dport 443 -j ACCEPT",
                  "-A DROVIX-AGENTS -s 10.0.9.13/32 -d 198.51.100.3/32 -p tcp -m tcp --dport 443 -j ACCEPT",
                  "-A DROVIX-AGENTS -s 10.0.9.15/32 -d 203.0.113.5/32 -p tcp -m tcp --dport 443 -j ACCEPT",
                  "-A DROVIX-AGENTS -s 10.0.9.0/24 -j DROP",
                  "-A DROVIX-AGENTS -d 10.0.9.0/24 -j DROP",
              }));
    EXPECT_EQ(vmtest::chain_rules("DROVIX-AGENTS-IN"),
              (std::vector<std::string>{
                  "-N DROVIX-AGENTS-IN",
                  "-A DROVIX-AGENTS-IN -m conntrack --ctstate RELATED,ESTABLISHED -j ACCEPT",
                  "-A DROVIX-AGENTS-IN -d 10.0.9.1/32 -p tcp -m tcp --dport 443 -j ACCEPT",
                  "-A DROVIX-AGENTS-IN -d 10.0.9.6/32 -p tcp -m tcp --dport 443 -j ACCEPT",
                  "-A DROVIX-AGENTS-IN -j DROP",
              }));

    // With no VM running the outside rules go and the count is 0.
    ASSERT_EQ(sh("systemctl stop drovix-vm-8001 drovix-vm-8003 drovix-vm-8004"), 0);
    testing::internal::CaptureStdout();
    rebuild_agent_firewall(false, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[egress] agent firewall rebuilt: 0 outside address rule(s)\n");
    EXPECT_EQ(vmtest::chain_rules("DROVIX-AGENTS").size(), 6u);
    vmtest::clear_vmstate();
  });
}

// A rebuild replaces the chain in one step: someone looking at the chain
// while rebuilds run always finds it whole, never flushed or half-filled.
TEST(AgentFirewall, RulesAreNeverSeenHalfBuilt) {
  const auto& cfg = vmtest::config();
  testbed::run_in_netns([&] {
    vmtest::use_standins();
    vmtest::clear_vmstate();
    testbed::write_text(cfg.home + "/vmstate/8002/certs/creds.json", R"([{"ip":"198.51.100.7"}])");
    setup_agent_chains();

    std::atomic<bool> done{false};
    std::atomic<int> looks{0}, partial{0};
    std::thread watcher([&] {
      while (!done) {
        auto rules = vmtest::chain_rules("DROVIX-AGENTS");
        ++looks;
        if (rules.size() != 7 && rules.size() != 6) ++partial;
      }
    });
    for (int i = 0; i < 6; ++i) rebuild_agent_firewall(i % 2 == 0, 8002);
    done = true;
    watcher.join();
    EXPECT_GT(looks.load(), 3);
    EXPECT_EQ(partial.load(), 0) << "the chain was seen half-built";
    vmtest::clear_vmstate();
  });
}

// A rule the host's iptables refuses costs only that rule.
TEST(AgentFirewall, ARejectedRuleLeavesTheOthersInPlace) {
  testbed::run_in_netns([] {
    ASSERT_EQ(sh("iptables -N DROVIX-TEST && iptables -A DROVIX-TEST -j ACCEPT"), 0);
    replace_chains({{"DROVIX-TEST",
                     {{"-s", "192.0.2.1", "-j", "DROP"}, {"-m", "no-such-match", "-j", "DROP"}, {"-j", "RETURN"}}}});
    EXPECT_EQ(vmtest::chain_rules("DROVIX-TEST"),
              (std::vector<std::string>{"-N DROVIX-TEST", "-A DROVIX-TEST -s 192.0.2.1/32 -j DROP",
                                        "-A DROVIX-TEST -j RETURN"}));
  });
}

}  // namespace
}  // namespace drovix::host
