#include "host/src/console/vm_unit.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fs.hpp"
#include "common/text.hpp"
#include "host/src/console/network.hpp"
#include "host/src/util/commands.hpp"

namespace drovix::host {

namespace {

void run_ignored(const std::vector<std::string>& argv, int timeout_s) { (void)run_command(argv, timeout_s); }

// An unsigned 32-bit decimal with an optional leading "+".
std::optional<uint32_t> parse_u32(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

// Gives one entry to the VM's user. Links are changed themselves, never
// followed, so nothing outside the folder can be handed over.
Status chown_entry(const std::string& path, uint32_t uid) {
  if (::fchownat(AT_FDCWD, path.c_str(), uid, uid, AT_SYMLINK_NOFOLLOW) != 0) {
    return Error(ErrorKind::Io, errno_text("chown " + path));
  }
  return ok_status();
}

Status hand_certs_to(const std::string& certs_dir, uint32_t uid) {
  DIR* d = ::opendir(certs_dir.c_str());
  if (!d) return Error(ErrorKind::Io, errno_text("list " + certs_dir));
  std::vector<std::string> names;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  int read_err = errno;
  ::closedir(d);
  if (read_err != 0) {
    errno = read_err;
    return Error(ErrorKind::Io, errno_text("list " + certs_dir));
  }
  for (const auto& name : names) {
    if (auto st = chown_entry(certs_dir + "/" + name, uid); !st) return st;
  }
  if (auto st = chown_entry(certs_dir, uid); !st) return st;
  if (::chmod(certs_dir.c_str(), 0700) != 0) return Error(ErrorKind::Io, errno_text("chmod " + certs_dir));
  return ok_status();
}

}  // namespace

std::string agent_unit_name(uint16_t port) { return "drovix-vm-" + std::to_string(port); }
std::string agent_unit_user(uint16_t n) { return "drovix-vm" + std::to_string(n); }

std::vector<std::string> unit_sandbox_props(const HostConfig& cfg, const std::string& user, const std::string& paths,
                                            uint64_t memory_mib) {
  const std::vector<std::string> props = {
      "User=" + user,
      "Group=" + user,
      "SupplementaryGroups=kvm",
      "NoNewPrivileges=yes",
      "CapabilityBoundingSet=",
      "AmbientCapabilities=",
      "ProtectSystem=strict",
      "ProtectHome=tmpfs",
      "TemporaryFileSystem=" + cfg.home + ":ro",
      "PrivateTmp=yes",
      "PrivateIPC=yes",
      "BindReadOnlyPaths=" + paths,
      "PrivateDevices=yes",
      "BindPaths=/dev/kvm /dev/net/tun",
      "DeviceAllow=/dev/kvm rw",
      "DeviceAllow=/dev/net/tun rw",
      "ProtectKernelTunables=yes",
      "ProtectKernelModules=yes",
      "ProtectKernelLogs=yes",
      "ProtectControlGroups=yes",
      "ProtectClock=yes",
      "ProtectHostname=yes",
      "ProtectProc=invisible",
      "RestrictNamespaces=yes",
      "RestrictRealtime=yes",
      "RestrictSUIDSGID=yes",
      "LockPersonality=yes",
      "MemoryDenyWriteExecute=yes",
      "SystemCallArchitectures=native",
      "SystemCallFilter=@system-service @sandbox",
      "SystemCallFilter=~@privileged @resources @mount @obsolete",
      "RestrictAddressFamilies=AF_NETLINK",
      "IPAddressDeny=any",
      "KeyringMode=private",
      "UMask=0077",
      "NoExecPaths=/",
      "ExecPaths=" + cfg.hypervisor + " /usr/lib /lib /lib64",
      "MemoryMax=" + std::to_string(memory_mib + 192) + "M",
      "TasksMax=32",
  };
  std::vector<std::string> out;
  out.reserve(props.size() * 2);
  for (const auto& p : props) {
    out.push_back("-p");
    out.push_back(p);
  }
  return out;
}

std::vector<std::string> agent_vm_argv(const AgentVmSpec& spec, const HostConfig& cfg) {
  const std::string n = std::to_string(spec.n);
  const std::string mem = std::to_string(spec.memory_mib);
  std::vector<std::string> argv = {
      "systemd-run", "--unit", agent_unit_name(spec.port), "--collect",
      "-p", "StandardOutput=append:" + spec.log_path,
      "-p", "StandardError=append:" + spec.log_path,
  };
  auto props = unit_sandbox_props(cfg, agent_unit_user(spec.n),
                                  spec.certs_dir + " " + cfg.agent_bin + " " + cfg.hypervisor, spec.memory_mib);
  argv.insert(argv.end(), props.begin(), props.end());
  const std::vector<std::string> tail = {
      cfg.hypervisor,
      "--net=tap:ctap" + n,
      "--memory-size", mem + "MiB",
      "--file-mapping", spec.certs_dir + ":/certs",
      "-e", "UMBRIX_IP=10.0.9." + std::to_string(spec.n + 10),
      "-e", "UMBRIX_GATEWAY=10.0.9.1",
      "-e", "UMBRIX_MASK=255.255.255.0",
      "-e", "TLS_CERT=/certs/fullchain.pem",
      "-e", "TLS_KEY=/certs/privkey.pem",
      "-e", "PORT=8443",
      "-e", "CLAUDE_MODEL=" + spec.model,
      "-e", "DROVIX_HOST=" + cfg.hostname,
      "-e", "OD_DRIVE=" + spec.od_drive,
      cfg.agent_bin,
  };
  argv.insert(argv.end(), tail.begin(), tail.end());
  return argv;
}

std::optional<uint32_t> user_in_passwd(const std::string& passwd_text, const std::string& name) {
  size_t pos = 0;
  while (pos <= passwd_text.size()) {
    size_t end = passwd_text.find('\n', pos);
    if (end == std::string::npos) end = passwd_text.size();
    std::string_view line(passwd_text.data() + pos, end - pos);
    std::vector<std::string_view> fields;
    size_t f = 0;
    while (true) {
      size_t colon = line.find(':', f);
      if (colon == std::string_view::npos) {
        fields.push_back(line.substr(f));
        break;
      }
      fields.push_back(line.substr(f, colon - f));
      f = colon + 1;
    }
    if (fields[0] == name) {
      if (fields.size() < 3) return std::nullopt;
      return parse_u32(fields[2]);
    }
    if (end == passwd_text.size()) break;
    pos = end + 1;
  }
  return std::nullopt;
}

std::optional<uint32_t> user_exists(const std::string& name) {
  auto text = read_file("/etc/passwd");
  if (!text) return std::nullopt;
  return user_in_passwd(*text, name);
}

Result<uint32_t> ensure_unit_user(const std::string& name) {
  if (auto uid = user_exists(name)) return *uid;
  run_ignored({"useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
               "/usr/sbin/nologin", name},
              15);
  if (auto uid = user_exists(name)) return *uid;
  return Error("could not create user " + name);
}

std::optional<int64_t> parse_tap_owner(const std::string& text) {
  std::string t = trim_unicode(utf8_lossy(text));
  std::string_view s = t;
  bool neg = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    neg = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    if (v > (INT64_MAX - 9) / 10) return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return neg ? -v : v;
}

void ensure_agent_tap(uint16_t n, uint32_t uid) {
  const std::string tap = "ctap" + std::to_string(n);
  std::optional<int64_t> owner;
  if (auto text = read_file("/sys/class/net/" + tap + "/owner")) owner = parse_tap_owner(*text);
  bool create = true;
  if (owner && *owner == static_cast<int64_t>(uid)) {
    create = false;
  } else if (owner) {
    run_ignored({"ip", "link", "del", tap}, 15);
  }
  if (create) run_ignored({"ip", "tuntap", "add", "dev", tap, "mode", "tap", "user", std::to_string(uid)}, 15);
  run_ignored({"ip", "link", "set", tap, "master", "cbr0"}, 15);
  run_ignored({"ip", "link", "set", tap, "up"}, 15);
}

bool agent_unit_active(uint16_t port) {
  auto out = run_command({"systemctl", "is-active", agent_unit_name(port)}, 10);
  if (!out) return false;
  return trim_unicode(utf8_lossy(out->stdout_bytes)) == "active";
}

Status start_agent_vm(const AgentVmSpec& spec) {
  rebuild_agent_firewall(true, spec.port);
  auto uid = ensure_unit_user(agent_unit_user(spec.n));
  if (!uid) return uid.error();
  if (auto st = hand_certs_to(spec.certs_dir, *uid); !st) return st;
  ensure_agent_tap(spec.n, *uid);
  run_ignored({"systemctl", "reset-failed", agent_unit_name(spec.port)}, 10);
  (void)run_command(agent_vm_argv(spec, host_config()), 30);
  return ok_status();
}

}  // namespace drovix::host
