#pragma once
// What the model-exchange suites share: a throw-away CA with one server
// certificate for the provider and Graph names, a running model peer, and a
// connector that reaches the peer's loopback port with that CA as the only
// trust anchor.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "agent/src/main/http_client.hpp"
#include "agent/src/main/keyring.hpp"
#include "agent/src/main/model_request.hpp"
#include "tests/testbed/testbed.hpp"
#include "tools/peers/model_peer.hpp"

namespace modeltest {

// Server names the certificate carries.
inline constexpr const char* kAnthropicHost = "api.anthropic.com";
inline constexpr const char* kBedrockHost = "bedrock-runtime.eu-west-1.amazonaws.com";
inline constexpr const char* kPrivateHost = "llm.desk.internal";
inline constexpr const char* kGraphHost = "graph.microsoft.com";

struct TestCa {
  std::string dir;
  std::string ca_pem;     // path
  std::string cert_pem;   // server certificate (path)
  std::string key_pem;    // server key (path)
};

// Made once per process (openssl command line), kept until it ends.
const TestCa& test_ca();

// A peer on 127.0.0.1 with the test certificate.
std::unique_ptr<peers::ModelPeer> start_peer(const std::string& addr = "127.0.0.1:0");

// Connects every keyring entry to the peer's port, trusting only the test CA.
drovix::agent::ServiceConnector peer_connector(int port);

// Runs body in a namespace of its own with the folder bound at /certs (the
// mount point stays behind as an empty folder).
void with_certs(const std::string& folder, const std::function<void()>& body);

drovix::agent::KeyringEntry entry(const std::string& host, const std::string& path, const std::string& relay,
                                  const std::string& header, const std::string& prefix, const std::string& secret);

}  // namespace modeltest
