#pragma once
// Everything of an agent VM that lives outside it: the slot's state folder,
// the relay record, and the folder mapped into the guest as /certs. Then the
// VM and its slot forwarder are started.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/json.hpp"
#include "common/result.hpp"
#include "host/src/console/llm_choice.hpp"
#include "host/src/main/config.hpp"

namespace drovix::host {

// relay.json: what the relay checks one VM's requests against.
struct RelayRecord {
  std::string token;     // 48 lowercase hex characters, new for every launch
  std::string provider;  // "anthropic", "bedrock" or "private"
  std::string onedrive;  // "ro", "rw" or "none"
  OJson upstream = OJson::object();

  OJson to_json() const;
};

// One outside service as vault.json and the guest's creds.json hold it.
struct ServiceCredential {
  std::string service_id;
  std::string host;
  std::string ip;
  std::string header;
  std::string prefix;
  std::string path;
  std::string relay;
  std::string secret;

  // The relay entries' shape: all eight keys in this order.
  OJson to_json() const;
};

// What a launch hands provisioning.
struct ProvisionRequest {
  std::string vm_dir;      // <base>/vmstate/<port>
  std::string log_path;    // vm_dir + "/webui.log"
  uint16_t port = 0;       // slot port
  std::string provider;    // provider name
  std::string onedrive;    // "ro", "rw" or "none"
  OJson upstream = OJson::object();
  std::vector<OJson> services;  // the selected vault entries
  std::string provider_path;    // "path" of the provider's relay entry
  std::string certs_dir;        // vm_dir + "/certs"
  OJson options = OJson::object();  // becomes appliance.json
  std::string resume_file;      // archive file to resume; empty unless resuming
  bool skills = false;
  std::optional<OJson> handoff;  // a parent's workspace copy
  std::pair<uint16_t, uint16_t> slot{0, 0};  // (port, VM number)
  int64_t workspace_mb = 0;
  LlmChoice llm;
  std::string od_drive;  // the SharePoint drive path the VM gets as OD_DRIVE ("" when none known)
};

// The two tokens of one launch, as written into the VM's files.
struct VmFiles {
  std::string relay_token;
  std::string flush_token;
};

// Writes the state folder, relay record and /certs files, clears connection
// tracking, starts the VM and its forwarder. The error text is the first
// failing file operation's.
Status provision_agent_vm(const ProvisionRequest& req);

// The file half of provisioning (everything before the VM is started),
// with the configuration passed in.
Result<VmFiles> write_vm_files(const HostConfig& cfg, const ProvisionRequest& req);

// CLAUDE_MODEL: the private server's "model" when "private" is chosen, else
// "claude-sonnet-5".
std::string vm_model_id(const LlmChoice& llm);

// The first object whose "name" is that text.
std::optional<OJson> find_by_name(const OJson& array, const std::string& name);
// Every element whose "service_id" is that text, in order.
std::vector<OJson> find_service(const OJson& array, const std::string& service_id);

}  // namespace drovix::host
