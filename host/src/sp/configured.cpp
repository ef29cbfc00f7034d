#include "host/src/main/config.hpp"
#include "host/src/sp/sharepoint.hpp"

namespace drovix::host {

bool sharepoint_configured() {
  const HostConfig& c = host_config();
  return !c.entra_tenant.empty() && !c.entra_client.empty() && !c.sharepoint_site.empty();
}

}  // namespace drovix::host
