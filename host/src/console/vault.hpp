#pragma once
// The host's outside-service credentials: "vault.json" in the certificate
// folder, one JSON array of ServiceCredential objects keyed by
// "service_id".
#include <mutex>
#include <string>

#include "common/json.hpp"

namespace drovix::host {

// Held by every writer of vault.json (the console's and the SharePoint
// token renewal's) around its read, change and write, so that two writes at
// the same moment never drop each other's entry.
std::mutex& vault_mutex();

// The file's entries; a missing, unreadable or non-array file is empty.
OJson read_vault();
// Whether an entry's "service_id" is exactly the given id.
bool load_vault(const std::string& service_id);
// Replaces every entry of the same "service_id" (JSON equality) with the
// new one, which goes last. A failed write is not reported.
void save_vault_entry(OJson entry);

}  // namespace drovix::host
