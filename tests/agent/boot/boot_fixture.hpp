#pragma once
// What the agent start-up and API tests share: a /certs folder seen by a
// test body in its own namespaces, and a stand-in for the host gateway on
// 127.0.0.1:443 that records what the agent sends.
#include <functional>
#include <memory>
#include <string>

#include "agent/src/main/keyring.hpp"
#include "tools/peers/model_peer.hpp"

namespace boottest {

inline constexpr const char* kGatewayToken = "gw-token-0123456789abcdef";

// Writes the test PKI into the folder: fullchain.pem and privkey.pem for
// "localhost" (127.0.0.1, 10.0.9.1) and ca.pem that signed them.
void write_certs(const std::string& folder);

// Runs body in a child process with its own network and mount namespaces
// in which the folder is mounted at /certs.
void with_certs(const std::string& folder, const std::function<void()>& body);

// The gateway stand-in on 127.0.0.1:443, serving the certificates of a
// folder made by write_certs.
std::unique_ptr<peers::ModelPeer> start_gateway(const std::string& certs_folder);

// A keyring whose "telemetry" and "statesink" entries lead to the stand-in.
std::shared_ptr<drovix::agent::Keyring> gateway_keyring();

// A whole JSON reply as the gateway sends it.
std::string gateway_reply(int status, const std::string& json_body);

}  // namespace boottest
