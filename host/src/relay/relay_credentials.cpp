// The credentials the host adds to relayed calls, and the check of where a
// Graph listing's item lies. Files are read afresh for every call, so a
// renewed Graph token or a changed key takes effect at once.
#include <chrono>
#include <string>

#include "common/encoding.hpp"
#include "common/text.hpp"
#include "host/src/console/llm.hpp"
#include "host/src/console/vault.hpp"
#include "host/src/main/config.hpp"
#include "host/src/relay/relay.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

constexpr auto kFolderCheckLimit = std::chrono::seconds(20);

// Only the first "onedrive" entry counts, even when it has no secret.
std::string graph_secret() {
  for (const auto& entry : read_vault()) {
    if (!entry.is_object()) continue;
    auto id = entry.find("service_id");
    if (id == entry.end() || !id->is_string() || id->get_ref<const std::string&>() != "onedrive") continue;
    return json_get_str(entry, "secret");
  }
  return "";
}

std::string_view strip_slashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return s;
}

}  // namespace

std::string relay_credential(const std::string& service) {
  if (service == "anthropic") return read_text_trimmed(host_config().certs + "/anthropic.key").value_or("");
  if (service == "private") return json_get_str(load_llm_settings().private_settings, "key");
  if (service == "bedrock") return json_get_str(load_llm_settings().bedrock, "key");
  if (service == "graph") return graph_secret();
  return "";
}

Status graph_folder_check(const std::string& graph_origin, const std::string& item, const std::string& drive,
                          const std::string& folder, const std::string& secret) {
  OutboundRequest req;
  req.method = "GET";
  req.url = graph_origin + drive + "/items/" + item + "?$select=name,parentReference,folder,root";
  req.headers = {{"authorization", "Bearer " + secret}};
  req.timeout = kFolderCheckLimit;
  auto outcome = read_http_outcome(http_agent().send(req));
  if (!outcome) return outcome.error();
  if (outcome->status != 200)
    return Error("can't check where item " + item + " is (HTTP " + std::to_string(outcome->status) + ")");

  OJson doc;
  try {
    doc = OJson::parse(outcome->text);
  } catch (const OJson::exception& e) {
    return Error(e.what());
  }
  if (!doc.is_object() || !doc.contains("folder")) return Error("not a folder");
  if (doc.contains("root")) {
    if (folder.empty()) return ok_status();
    return Error("the library root is outside the agent's folder");
  }

  std::string parent;
  auto ref = doc.find("parentReference");
  if (ref != doc.end() && ref->is_object()) parent = json_get_str(*ref, "path");
  size_t at = parent.find("root:");
  parent = at == std::string::npos ? "" : parent.substr(at + 5);
  parent = utf8_lossy(percent_decode(strip_slashes(parent)));
  std::string name = json_get_str(doc, "name");
  std::string path = parent.empty() ? name : parent + "/" + name;

  if (folder.empty() || path == folder || starts_with(path, folder + "/")) return ok_status();
  return Error("'" + path + "' is outside the agent's folder '" + folder + "'");
}

}  // namespace drovix::host
