#include <cstdio>
#include <thread>

#include "common/text.hpp"
#include "host/src/util/tokens.hpp"
#include "host/src/console/vault.hpp"
#include "host/src/main/config.hpp"
#include "host/src/sp/app_token.hpp"
#include "host/src/sp/sharepoint.hpp"
#include "host/src/sp/state_lock.hpp"
#include "host/src/util/files.hpp"

namespace drovix::host {

namespace {

constexpr size_t kErrorChars = 240;
constexpr auto kFreshPeriod = std::chrono::seconds(2400);
constexpr auto kRetryPeriod = std::chrono::seconds(120);

bool is_onedrive_entry(const OJson& e) {
  if (!e.is_object()) return false;
  auto it = e.find("service_id");
  return it != e.end() && it->is_string() && it->get_ref<const std::string&>() == "onedrive";
}

// Replaces the "onedrive" entries of vault.json by one holding the new
// token, last in the list. A file that holds some other JSON value than a
// list is not ours to overwrite and stays as it is.
void store_token(const std::string& token) {
  const HostConfig& cfg = host_config();
  OJson entry = OJson::object();
  entry["service_id"] = "onedrive";
  entry["host"] = cfg.graph_host;
  entry["header"] = "authorization";
  entry["prefix"] = "Bearer ";
  entry["secret"] = token;

  const std::string path = cfg.certs + "/vault.json";
  std::lock_guard lock(vault_mutex());
  auto current = read_json_file(path);
  OJson list = OJson::array();
  if (current) {
    if (!current->is_array()) return;
    for (auto& e : *current)
      if (!is_onedrive_entry(e)) list.push_back(std::move(e));
  }
  list.push_back(std::move(entry));
  (void)write_private_json(path, list);
}

void print_line(const std::string& line) {
  std::string out = line + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

void sleep_monotonic(std::chrono::seconds d) {
  auto until = std::chrono::steady_clock::now() + d;
  while (std::chrono::steady_clock::now() < until) std::this_thread::sleep_until(until);
}

}  // namespace

Status refresh_sharepoint() {
  const HostConfig& cfg = host_config();
  auto token = graph_app_token();
  if (!token) return token.error();
  auto site = graph_get(*token, "/sites/" + cfg.sharepoint_site + "?$select=displayName,webUrl");
  if (!site) return site.error();
  auto drive = graph_get(*token, "/sites/" + cfg.sharepoint_site + "/drive?$select=id,name,webUrl");
  if (!drive) return drive.error();

  store_token(*token);

  std::lock_guard lock(sharepoint_state_mutex());
  auto id = drive->is_object() ? drive->find("id") : drive->end();
  if (!drive->is_object() || id == drive->end() || !id->is_string()) return Error("drive without id");
  SharePointState& s = sharepoint_state_ref();
  s.last_error.clear();
  s.site_name = json_get_str(*site, "displayName");
  s.library_name = json_get_str(*drive, "name");
  s.drive_id = id->get<std::string>();
  s.available = true;
  s.network_failure = false;
  return ok_status();
}

std::chrono::seconds spdrive_cycle(const SpSleep& sleep) {
  Status result = refresh_sharepoint();
  const std::chrono::seconds pauses[] = {std::chrono::seconds(2), std::chrono::seconds(5)};
  for (auto pause : pauses) {
    if (result.ok() || !is_network_failure(result.message())) break;
    sleep(pause);
    result = refresh_sharepoint();
  }

  if (!result.ok()) {
    const std::string& msg = result.message();
    std::lock_guard lock(sharepoint_state_mutex());
    SharePointState& s = sharepoint_state_ref();
    if (s.available && is_network_failure(msg)) {
      s.network_failure = true;
      print_line("[spdrive] renewal failed on the network, keeping the current token and retrying in 2 minutes: " +
                 take_chars(msg, kErrorChars));
    } else {
      s.available = false;
      s.network_failure = false;
      s.last_error = take_chars(msg, kErrorChars);
      print_line("[spdrive] refresh failed: " + s.last_error);
    }
  }

  SharePointState s = sharepoint_state();
  if (s.available)
    print_line("[drovix-host] SharePoint library: " + s.site_name + " / " + s.library_name);
  else
    print_line("[drovix-host] SharePoint library NOT available: " + s.last_error);
  return s.available && !s.network_failure ? kFreshPeriod : kRetryPeriod;
}

void spdrive_loop() {
  for (;;) sleep_monotonic(spdrive_cycle(sleep_monotonic));
}

}  // namespace drovix::host
