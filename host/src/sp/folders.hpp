#pragma once
// The folders at the root of the firm's SharePoint library, as the console
// offers them for a new agent session.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "common/result.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

struct FolderEntry {
  std::string name;
  int64_t items = 0;  // the folder's child count
  int64_t bytes = 0;  // the folder's size
};

// {"name", "items", "bytes"} in that order.
OJson folder_entry_json(const FolderEntry& f);

// A folder entry for a Graph driveItem that has a "folder" member; nothing
// for files.
std::optional<FolderEntry> folder_entry_from_item(const OJson& item);

// The root folders sorted by name, or the message the console shows.
Result<std::vector<FolderEntry>> list_sharepoint_folders();
// The one configured site: [{"id": site, "name": display name}].
OJson sharepoint_site_entry();

// The console's GET /api/sharepoint/folders answer (always status 200):
// {"sites": [...], "folders": [...]} or {"error": message}.
HttpResponse sharepoint_folders_reply(const HttpRequest& req);

}  // namespace drovix::host
