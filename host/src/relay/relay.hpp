#pragma once
// The relay through which agent VMs reach the model providers and Microsoft
// Graph. The agent names a service in the path ("/relay/<service>/...") and
// sends its per-VM token in "x-drovix-relay"; the relay checks both, applies
// the service's rules, adds the credential that only the host holds and
// streams the upstream answer back on the agent's connection.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.hpp"
#include "common/result.hpp"
#include "common/stream.hpp"
#include "host/src/http/message.hpp"
#include "host/src/http/outbound.hpp"

namespace drovix::host {

// ---- entry ----

// Serves one "/relay/..." request of an agent VM, writing the whole reply to
// the connection itself. Refusals are replies too; only a failed write to
// the connection is returned as an error.
Status relay_request(const HttpRequest& req, ByteStream& conn);

// The path of a relayed request: the service name after "/relay/" and the
// rest from the next "/" on (query included; "/" when nothing follows).
struct RelayPath {
  std::string service;
  std::string service_path;
};
RelayPath split_relay_path(std::string_view path);

// Records the refusal as a "relay_refused" console signal, then writes the
// error reply "relay refused: {message}" with the status.
Status refuse_relay_call(ByteStream& conn, uint16_t status, uint16_t port, const std::string& service,
                         const std::string& message, const std::string& method, const std::string& service_path);

// Writes one complete relay error reply and flushes it.
Status relay_error_reply(ByteStream& conn, uint16_t status, const std::string& message);

// ---- service rules ----

// Where an allowed call goes and how its credential is sent.
struct RelayTarget {
  std::string url;
  std::string header;  // credential header name
  std::string prefix;  // put before the secret in that header
  // The Graph item of a next-page listing, whose place must be checked
  // against the agent's folder before the call goes out.
  std::optional<std::string> next_page_item;
};

// What the rules read of the VM's relay record.
struct RelayGrant {
  std::string provider;  // "anthropic", "bedrock", "private" or ""
  std::string onedrive;  // "ro", "rw", anything else: no SharePoint
  OJson upstream = OJson::object();
};

// The rule phase: a target, or the refusal message (sent with 403).
// graph_origin is "https://" and the Graph host.
Result<RelayTarget> relay_rule(const std::string& service, const std::string& service_path,
                               const std::string& method, const RelayGrant& grant,
                               const std::string& graph_origin);

// The "host" text under upstream[service]; empty when missing or not text.
std::string upstream_host(const OJson& upstream, const std::string& service);
bool is_bedrock_invoke_path(std::string_view rest);

// The origin of the Microsoft Graph endpoint: "https://" + the configured
// Graph host.
std::string graph_origin();

// The host's credential for the service, read afresh; empty when none.
std::string relay_credential(const std::string& service);

// Where a next-page listing's item lies: allowed only for a folder inside
// the agent's folder (anywhere in the library when folder is empty). The
// error is the refusal message (sent with 403).
Status graph_folder_check(const std::string& graph_origin, const std::string& item, const std::string& drive,
                          const std::string& folder, const std::string& secret);

// ---- upstream ----

// Agent request headers never copied upstream (matched without regard to
// ASCII case).
inline constexpr const char* kRelayDroppedHeaders[] = {
    "host",    "authorization", "x-api-key", "x-drovix-relay",      "content-length", "connection", "transfer-encoding",
    "accept-encoding", "keep-alive", "te",   "upgrade", "proxy-authorization", "expect"};
// The only upstream answer headers passed back, in this order.
inline constexpr const char* kRelayReplyHeaders[] = {"content-type", "retry-after",     "request-id",
                                                     "x-amzn-requestid", "x-ms-request-id", "anthropic-organization-id"};

struct UpstreamCall {
  const HttpRequest& request;
  std::string url;
  std::string header;
  std::string prefix;
  std::string secret;
};

// The outbound request for a call: the agent's method and headers (less the
// dropped ones), the credential header last, the body unless an empty GET.
OutboundRequest upstream_request(const UpstreamCall& call);

// Where an upstream answer goes as it arrives; either hook may stop the
// exchange by returning false.
struct UpstreamSink {
  std::function<bool(const OutboundReply& head)> on_head;
  std::function<bool(std::string_view piece)> on_body;
};

// One exchange through the relay's client. An answer of any status is an
// answer; an error means no answer came.
Result<OutboundReply> send_upstream(const UpstreamCall& call, const UpstreamSink& sink);

// The exchange and the reply: sends the call (a GET or PUT that gets no
// answer is tried once more after 500 ms), then passes the answer's status,
// reason, passed headers and body to the agent as they arrive; with no
// answer, logs one line and writes a 502 relay error.
Status relay_exchange(ByteStream& conn, uint16_t port, const std::string& service,
                      const std::string& service_path, const UpstreamCall& call);

}  // namespace drovix::host
