// Forwarding an allowed call and streaming the answer back as it arrives.
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/text.hpp"
#include "host/src/relay/relay.hpp"

namespace drovix::host {

namespace {

constexpr auto kUpstreamLimit = std::chrono::seconds(900);
constexpr auto kRetryPause = std::chrono::milliseconds(500);

bool dropped(std::string_view name) {
  for (const char* d : kRelayDroppedHeaders)
    if (iequals_ascii(name, d)) return true;
  return false;
}

std::string reply_head(const OutboundReply& head) {
  std::string out = "HTTP/1.1 " + std::to_string(head.status) + " " + head.reason + "\r\n";
  for (const char* name : kRelayReplyHeaders) {
    if (auto v = head.header(name)) out += std::string(name) + ": " + *v + "\r\n";
  }
  out += "connection: close\r\n\r\n";
  return out;
}

}  // namespace

OutboundRequest upstream_request(const UpstreamCall& call) {
  OutboundRequest out;
  out.method = call.request.method;
  out.url = call.url;
  out.timeout = kUpstreamLimit;
  for (const auto& h : call.request.headers)
    if (!dropped(h.first)) out.headers.push_back(h);
  out.headers.emplace_back(call.header, call.prefix + call.secret);
  if (!(call.request.body.empty() && call.request.method == "GET")) out.body = call.request.body;
  return out;
}

Result<OutboundReply> send_upstream(const UpstreamCall& call, const UpstreamSink& sink) {
  OutboundRequest req = upstream_request(call);
  req.on_head = sink.on_head;
  req.on_body = sink.on_body;
  return relay_agent().send(req);
}

Status relay_exchange(ByteStream& conn, uint16_t port, const std::string& service,
                      const std::string& service_path, const UpstreamCall& call) {
  // The first failed write towards the agent ends the exchange and is the
  // result; the rest of the answer is dropped unread.
  Status written;
  UpstreamSink sink;
  sink.on_head = [&](const OutboundReply& head) {
    written = conn.write_all(reply_head(head));
    return written.ok();
  };
  sink.on_body = [&](std::string_view piece) {
    if (piece.empty()) return true;
    written = conn.write_all(piece);
    return written.ok();
  };

  auto outcome = send_upstream(call, sink);
  const std::string& method = call.request.method;
  if (!outcome && (method == "GET" || method == "PUT")) {
    std::this_thread::sleep_for(kRetryPause);
    outcome = send_upstream(call, sink);
  }
  if (!outcome) {
    std::printf("[relay] VM :%u %s %s %s: %s\n", static_cast<unsigned>(port), service.c_str(), method.c_str(),
                take_chars(service_path, 120).c_str(), outcome.message().c_str());
    std::fflush(stdout);
    return relay_error_reply(conn, 502,
                             "relay: " + service + " unreachable: " + take_chars(outcome.message(), 200));
  }
  // A body cut short upstream ends the reply where it broke; what was
  // already passed on stays.
  return written;
}

}  // namespace drovix::host
