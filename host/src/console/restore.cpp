#include "host/src/console/restore.hpp"

#include "common/fs.hpp"
#include "host/src/console/login.hpp"
#include "host/src/main/config.hpp"
#include "host/src/sp/sharepoint.hpp"

#include <thread>

namespace drovix::host {

// The state folder exists before the first launch, and the console
// password file before the first login (its creation is logged, so the
// operator knows where to read it). The SharePoint renewal runs only when
// tenant, client and site are all set.
void restore_at_startup() {
  (void)make_dirs(vmstate_dir());
  (void)load_console_password();
  if (sharepoint_configured()) std::thread(spdrive_loop).detach();
}

}  // namespace drovix::host
