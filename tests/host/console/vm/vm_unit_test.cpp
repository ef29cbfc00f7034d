#include "host/src/console/vm_unit.hpp"

#include <gtest/gtest.h>

#include "tests/host/console/vm/vm_testbed.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

using testbed::sh;
using testbed::sh_out;

std::vector<std::string> expected_argv(const std::string& guest_mib, const std::string& unit_max) {
  return {
      "systemd-run", "--unit", "drovix-vm-8003", "--collect",
      "-p", "StandardOutput=append:/srv/dx/vmstate/8003/webui.log",
      "-p", "StandardError=append:/srv/dx/vmstate/8003/webui.log",
      "-p", "User=drovix-vm3",
      "-p", "Group=drovix-vm3",
      "-p", "SupplementaryGroups=kvm",
      "-p", "NoNewPrivileges=yes",
      "-p", "CapabilityBoundingSet=",
      "-p", "AmbientCapabilities=",
      "-p", "ProtectSystem=strict",
      "-p", "ProtectHome=tmpfs",
      "-p", "TemporaryFileSystem=/srv/dx:ro",
      "-p", "PrivateTmp=yes",
      "-p", "PrivateIPC=yes",
      "-p", "BindReadOnlyPaths=/srv/dx/vmstate/8003/certs /srv/dx/bin/drovix-agent /srv/dx/bin/tarvo",
      "-p", "PrivateDevices=yes",
      "-p", "BindPaths=/dev/kvm /dev/net/tun",
      "-p", "DeviceAllow=/dev/kvm rw",
      "-p", "DeviceAllow=/dev/net/tun rw",
      "-p", "ProtectKernelTunables=yes",
      "-p", "ProtectKernelModules=yes",
      "-p", "ProtectKernelLogs=yes",
      "-p", "ProtectControlGroups=yes",
      "-p", "ProtectClock=yes",
      "-p", "ProtectHostname=yes",
      "-p", "ProtectProc=invisible",
      "-p", "RestrictNamespaces=yes",
      "-p", "RestrictRealtime=yes",
      "-p", "RestrictSUIDSGID=yes",
      "-p", "LockPersonality=yes",
      "-p", "MemoryDenyWriteExecute=yes",
      "-p", "SystemCallArchitectures=native",
      "-p", "SystemCallFilter=@system-service @sandbox",
      "-p", "SystemCallFilter=~@privileged @resources @mount @obsolete",
      "-p", "RestrictAddressFamilies=AF_NETLINK",
      "-p", "IPAddressDeny=any",
      "-p", "KeyringMode=private",
      "-p", "UMask=0077",
      "-p", "NoExecPaths=/",
      "-p", "ExecPaths=/srv/dx/bin/tarvo /usr/lib /lib /lib64",
      "-p", "MemoryMax=" + unit_max,
      "-p", "TasksMax=32",
      "/srv/dx/bin/tarvo", "--net=tap:ctap3", "--memory-size", guest_mib, "--file-mapping",
      "/srv/dx/vmstate/8003/certs:/certs",
      "-e", "UMBRIX_IP=10.0.9.13",
      "-e", "UMBRIX_GATEWAY=10.0.9.1",
      "-e", "UMBRIX_MASK=255.255.255.0",
      "-e", "TLS_CERT=/certs/fullchain.pem",
      "-e", "TLS_KEY=/certs/privkey.pem",
      "-e", "PORT=8443",
      "-e", "CLAUDE_MODEL=claude-sonnet-5",
      "-e", "DROVIX_HOST=fleet.example",
      "-e", "OD_DRIVE=",
      "/srv/dx/bin/drovix-agent",
  };
}

TEST(AgentVmArgv, IsTheWholeUnitCommand) {
  HostConfig cfg;
  cfg.home = "/srv/dx";
  cfg.hostname = "fleet.example";
  cfg.hypervisor = "/srv/dx/bin/tarvo";
  cfg.agent_bin = "/srv/dx/bin/drovix-agent";
  AgentVmSpec spec{8003, 3, "/srv/dx/vmstate/8003/certs", "/srv/dx/vmstate/8003/webui.log", 256, "claude-sonnet-5", ""};
  EXPECT_EQ(agent_vm_argv(spec, cfg), expected_argv("256MiB", "448M"));
  spec.memory_mib = 2304;
  EXPECT_EQ(agent_vm_argv(spec, cfg), expected_argv("2304MiB", "2496M"));

  spec.model = "llama-70b";
  spec.od_drive = "/v1.0/drives/b!x";
  auto argv = agent_vm_argv(spec, cfg);
  EXPECT_EQ(argv[argv.size() - 6], "CLAUDE_MODEL=llama-70b");
  EXPECT_EQ(argv[argv.size() - 2], "OD_DRIVE=/v1.0/drives/b!x");
}

TEST(UserInPasswd, FirstMatchingLineDecides) {
  const std::string passwd =
      "root:x:0:0:root:/root:/bin/bash\n"
      "drovix-vm1:x:998:998::/nonexistent:/usr/sbin/nologin\n"
      "drovix-vm2:x:abc:997::/nonexistent:/usr/sbin/nologin\n"
      "drovix-vm2:x:996:996::/nonexistent:/usr/sbin/nologin\n"
      "drovix-vm3:x:+995:995::/nonexistent:/usr/sbin/nologin\n"
      "drovix-vm4:x\n"
      "drovix-vm5:x:4294967296:1::/:/bin/false\n"
      "drovix-vm6:x:4294967295:1::/:/bin/false";
  const std::pair<const char*, std::optional<uint32_t>> cases[] = {
      {"root", 0u},          {"drovix-vm1", 998u}, {"drovix-vm2", std::nullopt},  {"drovix-vm3", 995u},
      {"drovix-vm4", std::nullopt}, {"drovix-vm5", std::nullopt}, {"drovix-vm6", 4294967295u},
      {"drovix-vm", std::nullopt},  {"", std::nullopt},
  };
  for (const auto& [name, uid] : cases) EXPECT_EQ(user_in_passwd(passwd, name), uid) << name;
}

TEST(TapOwner, ReadsASignedDecimal) {
  EXPECT_EQ(parse_tap_owner("998\n"), 998);
  EXPECT_EQ(parse_tap_owner("-1\n"), -1);
  EXPECT_EQ(parse_tap_owner("+7"), 7);
  EXPECT_EQ(parse_tap_owner(""), std::nullopt);
  EXPECT_EQ(parse_tap_owner("12a"), std::nullopt);
  EXPECT_EQ(parse_tap_owner("-"), std::nullopt);
}

TEST(UnitUser, CreatedOnceAndRefusedWhenPasswdIsBroken) {
  testbed::run_in_netns([] {
    auto uid = ensure_unit_user("drovix-vm2");
    ASSERT_TRUE(uid.ok()) << uid.message();
    EXPECT_EQ(user_exists("drovix-vm2"), *uid);
    EXPECT_EQ(sh_out("getent passwd drovix-vm2 | cut -d: -f6,7"), "/nonexistent:/usr/sbin/nologin\n");
    auto again = ensure_unit_user("drovix-vm2");
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *uid);

    // A line whose uid is not a number: useradd refuses the existing name
    // and the user stays missing.
    ASSERT_EQ(sh("echo 'drovix-vm3:x:abc:abc::/nonexistent:/usr/sbin/nologin' >> /etc/passwd"), 0);
    auto broken = ensure_unit_user("drovix-vm3");
    ASSERT_FALSE(broken.ok());
    EXPECT_EQ(broken.message(), "could not create user drovix-vm3");
  });
}

TEST(AgentTap, KeptReplacedOrCreatedForItsOwner) {
  testbed::run_in_netns([] {
    ASSERT_EQ(sh("ip link add cbr0 type bridge && ip link set cbr0 up"), 0);
    auto ifindex = [] { return sh_out("cat /sys/class/net/ctap4/ifindex"); };
    auto owner = [] { return sh_out("cat /sys/class/net/ctap4/owner"); };
    auto on_bridge_and_up = [] {
      return sh_out("basename $(readlink /sys/class/net/ctap4/master)") == "cbr0\n" &&
             sh_out("ip -o link show ctap4").find(",UP") != std::string::npos;
    };

    ensure_agent_tap(4, 998);
    EXPECT_EQ(owner(), "998\n");
    EXPECT_TRUE(on_bridge_and_up());
    const std::string first = ifindex();

    ASSERT_EQ(sh("ip link set ctap4 nomaster && ip link set ctap4 down"), 0);
    ensure_agent_tap(4, 998);
    EXPECT_EQ(ifindex(), first) << "a tap of the right owner is kept";
    EXPECT_TRUE(on_bridge_and_up());

    ensure_agent_tap(4, 997);
    EXPECT_EQ(owner(), "997\n");
    EXPECT_NE(ifindex(), first) << "a tap of another owner is replaced";
    EXPECT_TRUE(on_bridge_and_up());
  });
}

TEST(AgentUnitActive, TrueOnlyWhileTheUnitRuns) {
  vmtest::config();
  testbed::run_in_netns([] {
    vmtest::use_standins();
    EXPECT_FALSE(agent_unit_active(8006));
    ASSERT_EQ(sh("systemd-run --unit drovix-vm-8006 --collect sleep 300 2>/dev/null"), 0);
    EXPECT_TRUE(agent_unit_active(8006));
    EXPECT_FALSE(agent_unit_active(8007));
    ASSERT_EQ(sh("systemctl stop drovix-vm-8006"), 0);
    EXPECT_FALSE(agent_unit_active(8006));
    ::setenv("PATH", "/nonexistent", 1);
    EXPECT_FALSE(agent_unit_active(8006)) << "systemctl that cannot run";
  });
}

}  // namespace
}  // namespace drovix::host
