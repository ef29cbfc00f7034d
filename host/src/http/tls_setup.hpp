#pragma once
// The host's TLS material: the server configuration of the listeners and
// the trust of every outbound TLS connection.
#include <string>

#include "common/result.hpp"
#include "common/tls.hpp"

namespace drovix::host {

// Server configuration from the certificate chain file and the key file.
Result<TlsContext> tls_server_config(const std::string& cert_file, const std::string& key_file);

// A fresh trust-anchor set as PEM text: the built-in public roots, then
// every certificate of "ca.pem" in the certificate folder that parses.
std::string tls_client_roots();
// The same for a given certificate folder.
std::string tls_client_roots_from(const std::string& certs_dir);
// Same, with the parseable certificates of one more PEM file appended.
std::string tls_client_roots_with(const std::string& extra_pem_file);

// The shared client configuration of all outbound TLS (built once).
const TlsContext& outbound_tls_config();

}  // namespace drovix::host
