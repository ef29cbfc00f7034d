#pragma once
// The administrator's policy switches ("policy.json" in the certificate
// folder), read afresh on every use.
#include <string>

#include "common/json.hpp"

namespace drovix::host {

struct PolicySettings {
  bool confidential_internal = false;    // Data Lake agents stay on internal servers
  std::string subagent_profile = "same";  // "same" or "research"
  bool export_grant = true;
  bool document_reader = true;

  // {"confidential_internal", "subagent_profile", "export_grant",
  // "document_reader"} in that order.
  OJson to_json() const;
};

// A missing, unreadable or non-object file gives the defaults; each key
// takes its default when absent. Never fails.
PolicySettings read_policy();
PolicySettings policy_from_json(const OJson& file);

}  // namespace drovix::host
