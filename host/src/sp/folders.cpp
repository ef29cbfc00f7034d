#include "host/src/sp/folders.hpp"

#include <algorithm>
#include <limits>

#include "common/text.hpp"
#include "host/src/main/config.hpp"
#include "host/src/sp/app_token.hpp"
#include "host/src/sp/sharepoint.hpp"
#include "host/src/util/files.hpp"

namespace drovix::host {

namespace {

constexpr size_t kErrorChars = 240;
constexpr int kTries = 3;

// A JSON integer that fits a signed 64-bit value; 0 for anything else.
int64_t whole_number(const OJson* v) {
  if (!v) return 0;
  if (v->is_number_unsigned()) {
    auto u = v->get<uint64_t>();
    return u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? static_cast<int64_t>(u) : 0;
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  return 0;
}

// The token of the "onedrive" entry of vault.json, when there is one.
std::optional<std::string> stored_token() {
  auto vault = read_json_file(host_config().certs + "/vault.json");
  if (!vault || !vault->is_array()) return std::nullopt;
  for (const auto& e : *vault) {
    if (!e.is_object()) continue;
    auto id = e.find("service_id");
    if (id == e.end() || !id->is_string() || id->get_ref<const std::string&>() != "onedrive") continue;
    auto secret = e.find("secret");
    if (secret != e.end() && secret->is_string()) return secret->get<std::string>();
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

OJson folder_entry_json(const FolderEntry& f) {
  OJson o = OJson::object();
  o["name"] = f.name;
  o["items"] = f.items;
  o["bytes"] = f.bytes;
  return o;
}

std::optional<FolderEntry> folder_entry_from_item(const OJson& item) {
  if (!item.is_object() || !item.contains("folder")) return std::nullopt;
  FolderEntry f;
  auto name = item.find("name");
  if (name != item.end() && name->is_string()) f.name = name->get<std::string>();
  const OJson& folder = item["folder"];
  if (folder.is_object()) {
    auto count = folder.find("childCount");
    if (count != folder.end()) f.items = whole_number(&*count);
  }
  auto size = item.find("size");
  if (size != item.end()) f.bytes = whole_number(&*size);
  return f;
}

Result<std::vector<FolderEntry>> list_sharepoint_folders() {
  if (!sharepoint_configured()) return Error("SharePoint isn't set up on this host");
  SharePointState state = sharepoint_state();
  if (state.drive_id.empty()) return Error("can't reach the SharePoint library: " + state.last_error);

  const std::string path = "/drives/" + state.drive_id + "/root/children?$select=name,folder,size&$top=999";
  std::optional<std::string> token = stored_token();
  Result<OJson> reply = Error("no try made");
  for (int attempt = token ? 0 : 1; attempt < kTries; ++attempt) {
    if (attempt > 0) {
      // The stored token may be stale: a fresh one serves this listing only.
      auto fresh = graph_app_token();
      if (!fresh) {
        reply = fresh.error();
        continue;
      }
      token = *fresh;
    }
    reply = graph_get(*token, path);
    if (reply) break;
  }
  if (!reply) {
    const std::string& msg = reply.message();
    for (const char* mark : {"Network Error", "reset", "timed out"})
      if (msg.find(mark) != std::string::npos) return Error("Microsoft didn't answer just now");
    return reply.error();
  }

  // Lower-case each name once, then sort stably on those keys.
  std::vector<std::pair<std::string, FolderEntry>> keyed;
  auto value = reply->is_object() ? reply->find("value") : reply->end();
  if (reply->is_object() && value != reply->end() && value->is_array()) {
    for (const auto& item : *value)
      if (auto f = folder_entry_from_item(item)) keyed.emplace_back(to_lower_unicode(f->name), std::move(*f));
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<FolderEntry> out;
  out.reserve(keyed.size());
  for (auto& k : keyed) out.push_back(std::move(k.second));
  return out;
}

OJson sharepoint_site_entry() {
  SharePointState state = sharepoint_state();
  OJson site = OJson::object();
  site["id"] = host_config().sharepoint_site;
  site["name"] = state.site_name.empty() ? std::string("SharePoint site") : state.site_name;
  return OJson::array({site});
}

HttpResponse sharepoint_folders_reply(const HttpRequest&) {
  auto folders = list_sharepoint_folders();
  OJson body = OJson::object();
  if (!folders) {
    body["error"] = take_chars(folders.message(), kErrorChars);
    return json_response(200, body);
  }
  body["sites"] = sharepoint_site_entry();
  OJson list = OJson::array();
  for (const auto& f : *folders) list.push_back(folder_entry_json(f));
  body["folders"] = std::move(list);
  return json_response(200, body);
}

}  // namespace drovix::host
