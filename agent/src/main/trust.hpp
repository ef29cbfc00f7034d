#pragma once
// The trust anchors of every outbound TLS connection of the agent.
#include <string>

#include "common/tls.hpp"

namespace drovix::agent {

// A client context trusting the built-in public roots plus every
// certificate of /certs/ca.pem; made once, on first use. When ca.pem is
// read it prints "trusting {} CA certificate(s) from /certs/ca.pem".
const TlsContext& ca_roots();

// The PEM text of the readable certificates of a PEM file's text, and how
// many there are; damaged blocks are skipped.
struct ExtraRoots {
  std::string pem;
  size_t count = 0;
};
ExtraRoots readable_certificates(std::string_view pem_text);

}  // namespace drovix::agent
