#pragma once
// The session as a whole towards the host gateway: saving it as a sealed
// archive (POST /v1/snapshots/save with the "statesink" credential) and
// asking whether the current grants allow export to SharePoint.
#include <cstdint>
#include <optional>
#include <string>

#include "agent/src/main/keyring.hpp"
#include "agent/src/main/session_state.hpp"
#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::agent {

// One source file of the workspace as an archive lists it.
struct ManifestEntry {
  std::string fp;
  std::string kind;
  std::string path;
  uint64_t size = 0;
  std::string src;
};

// The entry of a workspace file; nothing for files the agent made itself
// (src beginning "agent:" or "derived:").
std::optional<ManifestEntry> manifest_file_entry(const std::string& path, const std::string& src, uint64_t size,
                                                 const std::string& fp, const std::string& kind);
SJson manifest_entry_json(const ManifestEntry& e);

// The conversation as archive text: the compacted summary, the resumed
// transcript while it is not folded into the summary, then every turn not
// yet summarised. Takes the session mutex while it copies.
std::string session_transcript(const AgentSetup& setup, SharedSession& session);

struct SavedArchive {
  std::string name;
  std::string timestamp;
};

// Saves the session under the name; with create_only the gateway refuses
// a name that exists. Errors: "nothing to save yet", "state sink not
// connected", connection and keyring refusals, the gateway's own "error"
// text, "archive gateway HTTP {}".
Result<SavedArchive> statesink_save(const Keyring& kr, const AgentSetup& setup, SharedSession& session,
                                    const std::string& name, bool create_only);

// True when the gateway's grants allow export to SharePoint; false in
// every other case, failures included.
bool fetch_grants(const Keyring& kr);
// The same decision over a grants reply already parsed.
bool grants_allow_export(const SJson& reply);

}  // namespace drovix::agent
