#include "host/src/console/vault.hpp"

#include "host/src/console/replies.hpp"
#include "host/src/util/files.hpp"

namespace drovix::host {

std::mutex& vault_mutex() {
  static std::mutex m;
  return m;
}

OJson read_vault() {
  auto v = read_json_file(certdir_path("vault.json"));
  if (v && v->is_array()) return std::move(*v);
  return OJson::array();
}

bool load_vault(const std::string& service_id) {
  for (const auto& e : read_vault()) {
    if (!e.is_object()) continue;
    auto it = e.find("service_id");
    if (it != e.end() && it->is_string() && it->get_ref<const std::string&>() == service_id) return true;
  }
  return false;
}

void save_vault_entry(OJson entry) {
  OJson id = entry.is_object() && entry.contains("service_id") ? entry["service_id"] : OJson();
  std::lock_guard<std::mutex> lock(vault_mutex());
  OJson kept = OJson::array();
  for (auto& e : read_vault()) {
    if (e.is_object()) {
      auto it = e.find("service_id");
      if (it != e.end() && *it == id) continue;
    }
    kept.push_back(std::move(e));
  }
  kept.push_back(std::move(entry));
  (void)write_private_json(certdir_path("vault.json"), kept);
}

}  // namespace drovix::host
