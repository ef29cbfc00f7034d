#pragma once
// The keyring of outside services: the only place the agent keeps outbound
// credentials. Every request that carries a credential is written by
// keyring_request_head, which checks the destination host, refuses content
// that holds any stored secret, and adds the credential header itself.
#include <map>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/stream.hpp"

namespace drovix::agent {

// One outside service; its id is the key it is stored under.
struct KeyringEntry {
  std::string host;    // TLS server name and "host" header
  std::string ip;      // address to connect to (port 443)
  std::string header;  // credential header name
  std::string prefix;  // written before the secret (may be empty)
  std::string path;    // base path of the service's API
  std::string relay;   // "/relay/<name>" for relayed services, else empty
  std::string secret;
};

struct Keyring {
  mutable std::shared_mutex mu;
  std::map<std::string, KeyringEntry> entries;
};

struct KeyringError {
  enum Kind { UnknownService, HostMismatch, EgressBlocked, Io };
  Kind kind = Io;
  std::string service;         // UnknownService, HostMismatch
  std::string entry_host;      // HostMismatch
  std::string requested_host;  // HostMismatch
  std::string io;              // Io: the write error's text

  std::string text() const;
};

inline constexpr const char* egress_blocked_message =
    "blocked: a stored credential appeared in outbound content";

using HeaderPairs = std::vector<std::pair<std::string, std::string>>;

struct ServiceEndpoint {
  std::string host;
  std::string ip;
};

// Stores the entry under the id (write lock), replacing any entry of that
// id. An empty path becomes "/"; trailing "/" of the relay are removed.
void keyring_insert(Keyring& kr, const std::string& id, KeyringEntry entry);
// Removes "onedrive" and every "mcp:" entry. The caller holds the write lock.
void keyring_drop_connectors(Keyring& kr);
bool keyring_has_connectors(const Keyring& kr);
// All service ids in ascending byte order.
std::vector<std::string> list_service_ids(const Keyring& kr);
bool keyring_contains(const Keyring& kr, const std::string& id);
std::optional<ServiceEndpoint> keyring_endpoint(const Keyring& kr, const std::string& id);
// The entry's base path; "/" when the service is absent.
std::string keyring_path(const Keyring& kr, const std::string& id);

// Reloads the connectors from /certs/creds.json.
void load_creds(Keyring& kr);
// The same from another file.
void load_creds_from(Keyring& kr, const std::string& path);

// Writes one complete HTTP/1.1 request for the service to out: the request
// line ("METHOD target HTTP/1.1", relayed services get their relay path in
// front of the target), "host", the caller's headers in order,
// "content-length", "connection: close", the credential header, then the
// body. Nothing is written when the check of the host or of the content
// fails. Holds the read lock until the last byte is written.
[[nodiscard]] std::optional<KeyringError> keyring_request_head(const Keyring& kr, const std::string& service,
                                                               const std::string& host,
                                                               std::string_view request_line,
                                                               const HeaderPairs& headers,
                                                               std::string_view body, ByteStream& out);

}  // namespace drovix::agent
