#include "host/src/console/network.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <sstream>

#include "common/text.hpp"
#include "host/src/console/vm_unit.hpp"
#include "host/src/main/config.hpp"
#include "host/src/util/commands.hpp"
#include "host/src/util/files.hpp"

namespace drovix::host {

namespace {

using Args = std::vector<std::string>;

constexpr const char* kAgents = "DROVIX-AGENTS";
constexpr const char* kAgentsIn = "DROVIX-AGENTS-IN";

// Held from the first change of the agent chains to the log line, so that two
// rebuilds never interleave.
std::mutex& firewall_lock() {
  static std::mutex m;
  return m;
}

std::atomic<void (*)()> reader_network_setup{nullptr};

// The web-search service's address on the agents' bridge: WEBSEARCH_IP when
// it is set and valid text, else "10.0.9.5".
std::string websearch_address() {
  const char* v = std::getenv("WEBSEARCH_IP");
  if (v && is_valid_utf8(v)) return v;
  return "10.0.9.5";
}

bool is_dotted_ipv4(const std::string& s) {
  in_addr a{};
  return ::inet_pton(AF_INET, s.c_str(), &a) == 1;
}

// An argument as iptables-restore reads it: quoted when it holds blanks or
// quotes.
std::string restore_word(const std::string& w) {
  if (!w.empty() && w.find_first_of(" \t\"'\\") == std::string::npos) return w;
  std::string out = "\"";
  for (char c : w) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool restore_chains(const std::vector<ChainRules>& chains) {
  std::ostringstream text;
  text << "*filter\n";
  // Declaring an existing chain under --noflush empties it inside the same
  // commit that adds its new rules.
  for (const auto& c : chains) text << ":" << c.chain << " - [0:0]\n";
  for (const auto& c : chains) {
    for (const auto& rule : c.rules) {
      text << "-A " << c.chain;
      for (const auto& w : rule) text << ' ' << restore_word(w);
      text << '\n';
    }
  }
  text << "COMMIT\n";

  char path[] = "/tmp/drovix-firewall-XXXXXX";
  int fd = ::mkstemp(path);
  if (fd < 0) return false;
  std::string body = text.str();
  bool written = ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
  ::close(fd);
  bool ok = false;
  if (written) {
    auto out = run_command({"iptables-restore", "--noflush", path}, 15);
    ok = out && out->status == 0;
  }
  ::unlink(path);
  return ok;
}

}  // namespace

bool run_iptables(const std::vector<std::string>& args) {
  Args argv{"iptables"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto out = run_command(argv, 15);
  return out && out->status == 0;
}

bool iptables_nat(const std::vector<std::string>& rule, const std::string& op,
                  const std::vector<std::string>& extra) {
  Args argv{"iptables", "-t", "nat", op};
  argv.insert(argv.end(), rule.begin(), rule.end());
  argv.insert(argv.end(), extra.begin(), extra.end());
  auto out = run_command(argv, 15);
  return out && out->status == 0;
}

void replace_chains(const std::vector<ChainRules>& chains) {
  if (restore_chains(chains)) return;
  for (const auto& c : chains) {
    run_iptables({"-F", c.chain});
    for (const auto& rule : c.rules) {
      Args args{"-A", c.chain};
      args.insert(args.end(), rule.begin(), rule.end());
      run_iptables(args);
    }
  }
}

std::string outside_interface_from(const std::string& route_output) {
  std::istringstream words(utf8_lossy(route_output));
  std::string w;
  while (words >> w) {
    if (w == "dev") {
      std::string dev;
      if (words >> dev) return dev;
      break;
    }
  }
  return "ext0";
}

std::vector<std::string> creds_outside_addresses(const OJson& creds) {
  std::set<std::string> found;
  if (!creds.is_array()) return {};
  for (const auto& entry : creds) {
    if (!entry.is_object()) continue;
    auto it = entry.find("ip");
    if (it == entry.end() || !it->is_string()) continue;
    const std::string& ip = it->get_ref<const std::string&>();
    if (ip.empty() || ip.size() >= 16 || starts_with(ip, "10.0.9.") || !is_dotted_ipv4(ip)) continue;
    found.insert(ip);
  }
  return {found.begin(), found.end()};
}

void set_reader_network_setup(void (*setup)()) { reader_network_setup.store(setup); }

void setup_host_network() {
  run_best_effort({"sysctl", "-wq", "net.ipv4.ip_forward=1"});
  run_best_effort({"ip", "link", "add", "cbr0", "type", "bridge"});
  run_best_effort({"ip", "addr", "add", "10.0.9.1/24", "dev", "cbr0"});
  run_best_effort({"ip", "addr", "add", websearch_address() + "/32", "dev", "cbr0"});
  run_best_effort({"ip", "link", "set", "cbr0", "up"});

  std::string outside = "ext0";
  if (auto route = run_command({"ip", "route", "show", "default"}, 5)) {
    outside = outside_interface_from(route->stdout_bytes);
  }
  const Args rule{"POSTROUTING", "-s", "10.0.9.0/24", "-o", outside, "-j", "MASQUERADE"};
  // Older start-ups added the rule without --random-fully; take every such
  // copy out before the current form is checked.
  while (iptables_nat(rule, "-D", {})) {
  }
  if (!iptables_nat(rule, "-C", {"--random-fully"})) iptables_nat(rule, "-A", {"--random-fully"});

  if (auto reader = reader_network_setup.load()) reader();
  setup_agent_chains();
}

void setup_agent_chains() {
  run_iptables({"-N", kAgents});
  run_iptables({"-N", kAgentsIn});
  if (!run_iptables({"-C", "FORWARD", "-j", kAgents})) run_iptables({"-I", "FORWARD", "1", "-j", kAgents});
  if (!run_iptables({"-C", "INPUT", "-s", "10.0.9.0/24", "-j", kAgentsIn})) {
    run_iptables({"-I", "INPUT", "1", "-s", "10.0.9.0/24", "-j", kAgentsIn});
  }
  rebuild_agent_firewall(false, 0);
}

void rebuild_agent_firewall(bool assume_running, uint16_t port) {
  std::lock_guard<std::mutex> lock(firewall_lock());
  const std::string websearch = websearch_address();

  ChainRules agents{kAgents, {}};
  agents.rules.push_back({"-d", "10.0.10.0/24", "-j", "RETURN"});
  agents.rules.push_back({"-s", "10.0.10.0/24", "-j", "RETURN"});
  agents.rules.push_back(
      {"-d", "10.0.9.0/24", "-m", "conntrack", "--ctstate", "ESTABLISHED,RELATED", "-j", "ACCEPT"});

  size_t count = 0;
  for (uint16_t n = 1; n <= 8; ++n) {
    const uint16_t p = 8000 + n;
    const bool running = (assume_running && p == port) || agent_unit_active(p);
    if (!running) continue;
    auto creds = read_json_file(vmstate_dir() + "/" + std::to_string(p) + "/certs/creds.json");
    if (!creds || !creds->is_array()) continue;
    const std::string vm = "10.0.9." + std::to_string(n + 10);
    for (const auto& addr : creds_outside_addresses(*creds)) {
      agents.rules.push_back({"-s", vm, "-d", addr, "-p", "tcp", "--dport", "443", "-j", "ACCEPT"});
      ++count;
    }
  }
  agents.rules.push_back({"-s", "10.0.9.0/24", "-j", "DROP"});
  agents.rules.push_back({"-d", "10.0.9.0/24", "-j", "DROP"});

  ChainRules agents_in{kAgentsIn, {}};
  agents_in.rules.push_back({"-m", "conntrack", "--ctstate", "ESTABLISHED,RELATED", "-j", "ACCEPT"});
  agents_in.rules.push_back({"-d", "10.0.9.1", "-p", "tcp", "--dport", "443", "-j", "ACCEPT"});
  agents_in.rules.push_back({"-d", websearch, "-p", "tcp", "--dport", "443", "-j", "ACCEPT"});
  agents_in.rules.push_back({"-j", "DROP"});

  replace_chains({agents, agents_in});

  std::string line = "[egress] agent firewall rebuilt: " + std::to_string(count) + " outside address rule(s)\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void flush_conntrack(const std::string& address) {
  run_best_effort({"conntrack", "-D", "-s", address});
  run_best_effort({"ip", "link", "set", "cbr0", "up"});
}

uint16_t vm_port_from_ip(const std::string& address) {
  constexpr std::string_view prefix = "10.0.9.";
  if (!starts_with(address, prefix)) return 0;
  std::string_view rest = std::string_view(address).substr(prefix.size());
  if (!rest.empty() && rest.front() == '+') rest.remove_prefix(1);
  if (rest.empty()) return 0;
  uint32_t v = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + static_cast<uint32_t>(c - '0');
    if (v > 65535) return 0;
  }
  if (v < 11 || v > 18) return 0;
  return static_cast<uint16_t>(v + 7990);
}

}  // namespace drovix::host
