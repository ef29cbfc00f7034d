#pragma once
// The host's outbound HTTP/1.1 clients: a general one that keeps idle
// connections for reuse, one for the relay's upstream calls that opens a
// fresh connection for every request, and the one ClickHouse is reached
// through. All are shared by every thread of the daemon.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

// Replies are read as text only up to this size.
inline constexpr size_t kMaxReplyText = 10'485'760;

struct OutboundReply {
  uint16_t status = 0;
  std::string reason;  // the reason phrase as received
  HeaderList headers;  // of the final reply, in arrival order
  std::string body;    // empty when the body was streamed to on_body
  // Why the body is incomplete (the connection broke, the time ran out, the
  // body passed max_body or the receiver stopped it); empty when whole.
  std::string body_error;
  std::string url;  // where the reply came from, after redirects

  // First value of a header, the name compared without regard to ASCII case.
  std::optional<std::string> header(std::string_view name) const;
};

struct OutboundRequest {
  std::string method = "GET";
  std::string url;
  HeaderList headers;
  // Nothing: no body is sent. A value, even an empty one, is sent with its
  // length.
  std::optional<std::string> body;
  // Bound on the whole exchange, redirects and the body included; zero means
  // none (only the connect time-out applies).
  std::chrono::milliseconds timeout{0};
  // A buffered body longer than this is dropped (body_error says so).
  size_t max_body = kMaxReplyText;
  // Streaming: on_head sees the final reply's status and headers before any
  // body byte; on_body then gets the body piece by piece as it arrives and
  // nothing is buffered. Returning false from either stops the exchange.
  std::function<bool(const OutboundReply& head)> on_head;
  std::function<bool(std::string_view piece)> on_body;
};

struct HttpClientOptions {
  // Keep connections open after a request for the next one to the same
  // scheme, host and port.
  bool reuse_connections = true;
  size_t max_idle = 100;  // idle connections in all; at most one per host
  // Trust anchors as PEM text; empty trusts nothing, so no TLS server
  // passes verification.
  std::string ca_pem;
};

// One client instance: safe to use from many threads at once.
class HttpClient {
 public:
  explicit HttpClient(HttpClientOptions options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // One exchange. Any reply, whatever its status, is a reply; an error is
  // a call that got no reply head at all (bad URL or request, name
  // resolution, connection, TLS, time-out, malformed reply, too many
  // redirects) and carries a one-line text naming the URL and the failure.
  Result<OutboundReply> send(const OutboundRequest& request) const;

  // Idle connections kept right now (for tests and diagnostics).
  size_t idle_count() const;

 private:
  struct Pool;
  HttpClientOptions options_;
  std::unique_ptr<Pool> pool_;
};

// The general client, trusting the outbound roots.
const HttpClient& http_agent();
// The relay's client: every request opens its own connection.
const HttpClient& relay_agent();
// ClickHouse's client: its own instance when the configured url starts with
// "https:" and a CA file is configured, otherwise http_agent itself.
const HttpClient& clickhouse_agent();
// Whether these settings call for a ClickHouse client of its own.
bool clickhouse_needs_own_client(const std::string& url, const std::string& ca_file);

struct HttpOutcome {
  uint16_t status = 0;
  std::string text;
};

// The status and body text of any reply (the text empty when the body is
// incomplete, not UTF-8 or longer than kMaxReplyText); the failure text when
// there was no reply.
Result<HttpOutcome> read_http_outcome(const Result<OutboundReply>& result);

}  // namespace drovix::host
