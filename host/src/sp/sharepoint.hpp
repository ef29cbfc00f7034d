#pragma once
// The host's own access to the firm's SharePoint library: the shared state
// of the last token renewal, the Graph reads it makes, and the renewal
// thread that keeps the "onedrive" credential of vault.json fresh.
#include <chrono>
#include <functional>
#include <string>

#include "common/json.hpp"
#include "common/result.hpp"

namespace drovix::host {

struct SharePointState {
  std::string last_error;    // the last failed refresh, at most 240 characters
  std::string site_name;     // displayName of the site
  std::string library_name;  // name of the site's drive
  std::string drive_id;      // kept across later failures
  bool available = false;
  bool network_failure = false;  // failed on the network; the stored token is kept
};

// Whether the Entra tenant, client and SharePoint site are all set.
bool sharepoint_configured();

// A copy of the state, taken under its mutex.
SharePointState sharepoint_state();
// "/v1.0/drives/{id}" of the last known library, or "" before the first
// successful refresh.
std::string sharepoint_drive_path();
// Puts the state back to its start-up values (every text empty, both flags
// false); tests use it to start from a host that has not refreshed yet.
void reset_sharepoint_state();

// GET https://<graph host>/v1.0<path> with the bearer token. A 200 reply's
// body as JSON (the JSON reader's message when it is not); any other status
// as "HTTP Error {status}: {first 120 characters of the body}".
Result<OJson> graph_get(const std::string& token, const std::string& path);

// A failure that the network, not the request, is to blame for.
bool is_network_failure(const std::string& message);

// One refresh: a new app token stored as the "onedrive" entry of
// vault.json, then the site's name and its library recorded in the state.
Status refresh_sharepoint();

using SpSleep = std::function<void(std::chrono::seconds)>;
// One renewal cycle: the refresh with its quick retries (sleep is called
// for the pauses between them), the outcome recorded and reported. Returns
// how long to wait before the next cycle.
std::chrono::seconds spdrive_cycle(const SpSleep& sleep);
// The renewal thread's body: cycles for ever. Never returns.
[[noreturn]] void spdrive_loop();

}  // namespace drovix::host
