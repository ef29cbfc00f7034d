#include "host/src/console/provision.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/fs.hpp"
#include "host/src/console/forwarder.hpp"
#include "host/src/console/network.hpp"
#include "host/src/console/vm_unit.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

OJson relay_entry(const std::string& hostname, const std::string& service_id, const std::string& secret,
                  const std::string& relay, const std::string& path) {
  return ServiceCredential{service_id, hostname, "10.0.9.1", "x-drovix-relay", "", path, relay, secret}.to_json();
}

void remove_ignored(const std::string& path) { ::unlink(path.c_str()); }

bool examinable(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The copy-or-delete rule: the guest gets a copy of the host file when there
// is one, and never keeps an older session's copy when there is none.
Status copy_or_delete(const std::string& from, const std::string& to) {
  if (!examinable(from)) {
    remove_ignored(to);
    return ok_status();
  }
  return copy_private_file(from, to);
}

Status empty_log(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Error(ErrorKind::Io, errno_text("create " + path));
  ::close(fd);
  return ok_status();
}

}  // namespace

OJson RelayRecord::to_json() const {
  OJson j = OJson::object();
  j["token"] = token;
  j["provider"] = provider;
  j["onedrive"] = onedrive;
  j["upstream"] = upstream;
  return j;
}

OJson ServiceCredential::to_json() const {
  OJson j = OJson::object();
  j["service_id"] = service_id;
  j["host"] = host;
  j["ip"] = ip;
  j["header"] = header;
  j["prefix"] = prefix;
  j["path"] = path;
  j["relay"] = relay;
  j["secret"] = secret;
  return j;
}

std::optional<OJson> find_by_name(const OJson& array, const std::string& name) {
  if (!array.is_array()) return std::nullopt;
  for (const auto& e : array) {
    if (!e.is_object()) continue;
    auto it = e.find("name");
    if (it != e.end() && it->is_string() && it->get_ref<const std::string&>() == name) return e;
  }
  return std::nullopt;
}

std::vector<OJson> find_service(const OJson& array, const std::string& service_id) {
  std::vector<OJson> out;
  if (!array.is_array()) return out;
  for (const auto& e : array) {
    if (!e.is_object()) continue;
    auto it = e.find("service_id");
    if (it != e.end() && it->is_string() && it->get_ref<const std::string&>() == service_id) out.push_back(e);
  }
  return out;
}

std::string vm_model_id(const LlmChoice& llm) {
  if (llm.chosen != "private") return "claude-sonnet-5";
  if (!llm.private_settings.is_object()) return "";
  auto it = llm.private_settings.find("model");
  return it != llm.private_settings.end() && it->is_string() ? it->get<std::string>() : "";
}

Result<VmFiles> write_vm_files(const HostConfig& cfg, const ProvisionRequest& req) {
  const std::string port = std::to_string(req.port);
  const std::string& certs = req.certs_dir;
  auto certdir = [&](const std::string& name) { return cfg.certs + "/" + name; };
  auto guest = [&](const std::string& name) { return certs + "/" + name; };

  if (auto st = make_dirs(req.vm_dir); !st) return st.error();
  // A fresh log, so the readiness poll never sees an older session's line.
  if (auto st = empty_log(req.log_path); !st) return st.error();

  VmFiles files;
  files.relay_token = random_hex(24);
  const std::string state_dir = cfg.home + "/vmstate/" + port;
  if (auto st = make_dirs(state_dir); !st) return st.error();
  RelayRecord record{files.relay_token, req.provider, req.onedrive, req.upstream};
  if (auto st = write_private_json(state_dir + "/relay.json", record.to_json()); !st) return st.error();

  OJson creds = OJson::array();
  for (const auto& s : req.services) creds.push_back(s);
  creds.push_back(relay_entry(cfg.hostname, req.provider, files.relay_token, "/relay/" + req.provider,
                              req.provider_path));
  if (req.onedrive != "none") {
    creds.push_back(relay_entry(cfg.hostname, "onedrive", files.relay_token, "/relay/graph", "/"));
  }

  files.flush_token = random_hex(24);

  if (auto st = make_dirs(certs); !st) return st.error();
  for (const char* name : {"fullchain.pem", "privkey.pem", "mcp.token", "corpus.blob", "corpus.pass", "ca.pem"}) {
    if (auto st = copy_or_delete(certdir(name), guest(name)); !st) return st.error();
  }
  for (const char* name : {"anthropic.key", "sharepoint.dl", "bedrock.json", "private.json"}) {
    remove_ignored(guest(name));
  }
  if (auto st = write_private_json(guest("creds.json"), creds); !st) return st.error();
  if (auto st = write_private_json(guest("appliance.json"), req.options); !st) return st.error();

  const std::string skills = cfg.home + "/skills.md";
  if (req.skills && path_exists(skills)) {
    if (auto st = copy_private_file(skills, guest("skills.md")); !st) return st.error();
  } else {
    remove_ignored(guest("skills.md"));
  }
  if (auto st = copy_or_delete(certdir("policy-rules.json"), guest("policy_rules.json")); !st) return st.error();
  if (auto st = copy_or_delete(certdir("recipes.json"), guest("recipes.json")); !st) return st.error();

  if (req.handoff) {
    if (auto st = write_private_json(guest("parent_ws.json"), *req.handoff); !st) return st.error();
  } else {
    remove_ignored(guest("parent_ws.json"));
  }
  if (auto st = write_private_file(guest("flush.token"), files.flush_token); !st) return st.error();

  remove_ignored(guest("session.blob"));
  remove_ignored(guest("session.pass"));
  if (!req.resume_file.empty()) {
    const std::string archive = cfg.home + "/appliance-snapshots/" + req.resume_file;
    const std::string pass = certdir("snapshot.pass");
    if (path_exists(archive) && path_exists(pass)) {
      if (auto st = copy_private_file(archive, guest("session.blob")); !st) return st.error();
      if (auto st = copy_private_file(pass, guest("session.pass")); !st) return st.error();
    }
  }
  return files;
}

Status provision_agent_vm(const ProvisionRequest& req) {
  auto files = write_vm_files(host_config(), req);
  if (!files) return files.error();

  const auto [port, n] = req.slot;
  const std::string address = "10.0.9." + std::to_string(n + 10);
  flush_conntrack(address);

  AgentVmSpec spec;
  spec.port = port;
  spec.n = n;
  spec.certs_dir = req.certs_dir;
  spec.log_path = req.log_path;
  spec.memory_mib = static_cast<uint64_t>(req.workspace_mb + 256);
  spec.model = vm_model_id(req.llm);
  spec.od_drive = req.od_drive;
  if (auto st = start_agent_vm(spec); !st) return st;

  start_vm_forwarder(port, address);
  return ok_status();
}

}  // namespace drovix::host
