// A whole agent VM through the real tools and the stand-ins: provisioning,
// the sandboxed unit, the hypervisor stand-in booting a small TLS image,
// the slot forwarder and the firewall, then the stop.
#include <gtest/gtest.h>

#include "common/text.hpp"
#include <sys/stat.h>

#include <filesystem>

#include "host/src/console/forwarder.hpp"
#include "host/src/console/network.hpp"
#include "host/src/console/provision.hpp"
#include "host/src/console/vm_unit.hpp"
#include "tests/host/console/vm/vm_testbed.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

namespace fs = std::filesystem;
using testbed::read_text;
using testbed::sh;
using testbed::sh_out;

ProvisionRequest request_for_slot_1(const HostConfig& cfg) {
  ProvisionRequest req;
  req.port = 8001;
  req.slot = {8001, 1};
  req.vm_dir = cfg.home + "/vmstate/8001";
  req.log_path = req.vm_dir + "/webui.log";
  req.certs_dir = req.vm_dir + "/certs";
  req.provider = "anthropic";
  req.onedrive = "none";
  req.upstream = {{"anthropic", {{"host", "api.anthropic.com"}}}};
  req.provider_path = "/";
  // The one outside address this VM may reach.
  req.services = {{{"service_id", "mcp:websearch"}, {"host", "search.example"}, {"ip", "192.0.2.2"},
                   {"header", "authorization"}, {"prefix", "Bearer "}, {"secret", "s"}}};
  req.options = {{"audit", false}, {"mode", "new"}};
  req.workspace_mb = 0;
  return req;
}

// An HTTPS GET checked against the test CA under the host's name.
std::string https_get(const std::string& ca, const std::string& addr, int port, const std::string& path) {
  const std::string p = std::to_string(port);
  return sh_out("curl -s --max-time 5 --cacert " + ca + " --resolve localhost:" + p + ":" + addr +
                " https://localhost:" + p + path);
}

std::string connect_from(int pid, const std::string& addr) {
  return sh_out("nsenter -t " + std::to_string(pid) + " -n timeout 5 socat -u TCP:" + addr +
                ":443,connect-timeout=2 - 2>/dev/null");
}

TEST(AgentVm, BootsIsReachableConfinedAndStops) {
  const HostConfig& cfg = vmtest::config();
  testbed::run_in_netns([&] {
    vmtest::use_standins();
    vmtest::clear_vmstate();

    // An outside peer at 192.0.2.2 and 192.0.2.3, reached through the
    // default route; each address answers on port 443 with its name.
    vmtest::NetnsProcess outside;
    const std::string op = std::to_string(outside.pid());
    ASSERT_EQ(sh("ip link add vout type veth peer name vpeer && ip link set vpeer netns " + op +
                 " && ip addr add 192.0.2.1/24 dev vout && ip link set vout up && "
                 "ip route add default via 192.0.2.2 dev vout"),
              0);
    ASSERT_EQ(outside.sh("ip addr add 192.0.2.2/24 dev vpeer && ip addr add 192.0.2.3/24 dev vpeer && "
                         "ip link set vpeer up && ip route add default via 192.0.2.1"),
              0);
    std::vector<std::string> peers;
    for (const std::string a : {"192.0.2.2", "192.0.2.3"}) {
      peers.push_back(sh_out("nsenter -t " + op + " -n socat TCP-LISTEN:443,bind=" + a +
                             ",fork,reuseaddr SYSTEM:'echo peer-" + a + "' >/dev/null 2>&1 & echo $!"));
    }

    setup_host_network();
    ProvisionRequest req = request_for_slot_1(cfg);
    auto st = provision_agent_vm(req);
    ASSERT_TRUE(st.ok()) << st.message();

    ASSERT_TRUE(vmtest::eventually(
        [&] { return read_text(req.log_path).find("WEB LISTENING on 0.0.0.0:8443") != std::string::npos; }, 20000))
        << "VM log: " << read_text(req.log_path);
    EXPECT_TRUE(agent_unit_active(8001));
    EXPECT_TRUE(vm_forwarder_running(8001));

    // The certs folder belongs to the unit's user, and so does the image.
    auto uid = user_exists("drovix-vm1");
    ASSERT_TRUE(uid.has_value());
    struct stat dir {};
    ASSERT_EQ(::stat(req.certs_dir.c_str(), &dir), 0);
    EXPECT_EQ(dir.st_uid, *uid);
    EXPECT_EQ(dir.st_mode & 07777, 0700u);
    for (const auto& e : fs::directory_iterator(req.certs_dir)) {
      struct stat f {};
      ::stat(e.path().c_str(), &f);
      EXPECT_EQ(f.st_uid, *uid) << e.path();
      EXPECT_EQ(f.st_gid, *uid) << e.path();
      EXPECT_EQ(f.st_mode & 07777, 0600u) << e.path();
    }
    // Other suites run VMs under the same user name at the same time: look
    // only inside this unit's process group.
    const std::string unit_pgid =
        drovix::trim_unicode(read_text(std::string(std::getenv("STANDIN_STATE_DIR")) + "/units/drovix-vm-8001.service/pid"));
    const std::string unit_procs = "pgrep -u drovix-vm1 -g " + unit_pgid;
    const std::string image_pid = sh_out(unit_procs + " -o");
    ASSERT_FALSE(image_pid.empty()) << "no process runs as the unit's user";
    const int vm_pid = std::stoi(image_pid);

    // The VM serves its /certs with the host's certificate, directly and
    // through the slot port.
    const std::string flush = read_text(req.certs_dir + "/flush.token");
    const std::string ca = cfg.certs + "/ca.pem";
    EXPECT_TRUE(vmtest::eventually([&] { return https_get(ca, "10.0.9.11", 8443, "/flush.token") == flush; }, 10000));
    EXPECT_EQ(https_get(ca, "127.0.0.1", 8001, "/flush.token"), flush);

    // Only the outside address of its own service list is open to it.
    EXPECT_EQ(connect_from(vm_pid, "192.0.2.2"), "peer-192.0.2.2\n");
    EXPECT_EQ(connect_from(vm_pid, "192.0.2.3"), "");
    EXPECT_EQ(outside.sh("socat -u TCP:192.0.2.2:443 - >/dev/null"), 0) << "the peer itself answers on both";

    ASSERT_EQ(sh("systemctl stop drovix-vm-8001"), 0);
    EXPECT_FALSE(agent_unit_active(8001));
    EXPECT_EQ(sh_out(unit_procs), "") << "the image is gone";
    EXPECT_EQ(sh("ip link show t-ctap1 >/dev/null 2>&1"), 1) << "the veth pair is gone";
    EXPECT_EQ(https_get(ca, "127.0.0.1", 8001, "/flush.token"), "");

    stop_vm_forwarder(8001);
    for (const auto& pid : peers) sh("kill " + pid);
    vmtest::clear_vmstate();
  });
}

}  // namespace
}  // namespace drovix::host
