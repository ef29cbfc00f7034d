#pragma once
// The host daemon's start-up.
#include <string>

#include "host/src/main/config.hpp"

namespace drovix::host {

// Whether any argument is exactly "--version" or "-V".
bool wants_version(int argc, char** argv);
// Certificates among the PEM sections of "ca.pem" in the certificate folder;
// other sections and malformed ones are passed over.
int count_customer_cas(const std::string& certs_dir);
// "{url} as {user}", the user "default" when empty.
std::string describe_clickhouse(const ClickHouseSettings& ch);
std::string start_banner(const HostConfig& cfg, bool sharepoint_set, int customer_cas);

// The whole daemon; returns only for the version query.
int host_main(int argc, char** argv);

}  // namespace drovix::host
