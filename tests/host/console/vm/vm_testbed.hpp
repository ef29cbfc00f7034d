#pragma once
// What the VM platform's tests share: one host base folder for the whole
// test process (the host configuration is loaded once), the stand-ins for
// systemd and the hypervisor on PATH, and small helpers around namespaces.
#include <functional>
#include <string>
#include <vector>

#include "host/src/main/config.hpp"

namespace vmtest {

// The process's host configuration, its base folder made on first use:
// hostname "localhost", the hypervisor stand-in and the test image, and
// test certificates (fullchain.pem, privkey.pem, ca.pem) in fleetcerts.
// Must be called before anything else loads the configuration.
const drovix::host::HostConfig& config();

// Puts tools/standins first on PATH and gives the stand-ins a fresh state
// folder; call inside a namespace child of a test that called config().
void use_standins();

// Removes every slot folder below vmstate.
void clear_vmstate();

// iptables-save of the filter and nat tables without comments and counters.
std::string iptables_rules();
// "iptables -S <chain>" as lines.
std::vector<std::string> chain_rules(const std::string& chain);

// A process in a network namespace of its own (for outside peers); killed
// by the destructor.
class NetnsProcess {
 public:
  NetnsProcess();
  ~NetnsProcess();
  int pid() const { return pid_; }
  // Runs a shell command line inside the namespace.
  int sh(const std::string& cmdline) const;

 private:
  int pid_ = -1;
};

// Polls until the predicate holds or the time runs out.
bool eventually(const std::function<bool()>& pred, int timeout_ms);

}  // namespace vmtest
