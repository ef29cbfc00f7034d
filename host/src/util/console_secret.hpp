#pragma once
// The key with which the console signs its session cookies.
#include <string>

namespace drovix::host {

// "fleet.secret" in the certificate folder, read on first use and kept for
// the life of the process.
const std::string& console_secret();

// The content of "fleet.secret" in certs; when that cannot be read or is
// empty, 32 new random bytes, written there with mode 0600 (a failed write
// leaves them in use for this process only).
std::string load_console_secret(const std::string& certs);

}  // namespace drovix::host
