#include "tools/peers/model_peer.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/encoding.hpp"
#include "common/text.hpp"

namespace peers {

using drovix::Error;
using drovix::Result;

namespace {

constexpr auto kGateLimit = std::chrono::seconds(20);
constexpr int kSocketTimeoutMs = 20000;

const char* reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 529: return "Overloaded";
    default: return "Status";
  }
}

uint32_t crc32(std::string_view data, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (unsigned char b : data) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void put_be32(std::string& out, uint32_t v) {
  out += static_cast<char>(v >> 24);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}

// Splits a received head into request line and headers.
void parse_head(std::string_view head, RecordedRequest& req) {
  size_t eol = head.find("\r\n");
  req.request_line = std::string(head.substr(0, eol));
  while (eol != std::string_view::npos) {
    head.remove_prefix(eol + 2);
    eol = head.find("\r\n");
    std::string_view line = head.substr(0, eol);
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    req.headers.emplace_back(std::string(drovix::trim_ascii(line.substr(0, colon))),
                             std::string(drovix::trim_ascii(line.substr(colon + 1))));
  }
}

size_t content_length(const Headers& headers) {
  for (const auto& [name, value] : headers)
    if (drovix::iequals_ascii(name, "content-length")) return std::stoul(value);
  return 0;
}

// Reads one request (head and Content-Length body).
Result<RecordedRequest> read_request(drovix::ByteStream& s) {
  RecordedRequest req;
  char buf[4096];
  size_t head_end = std::string::npos;
  while ((head_end = req.raw.find("\r\n\r\n")) == std::string::npos) {
    auto r = s.read_some(buf, sizeof buf);
    if (!r) return r.error();
    if (*r == 0) return Error("connection closed before the request head ended");
    req.raw.append(buf, *r);
  }
  parse_head(std::string_view(req.raw).substr(0, head_end + 2), req);
  size_t want = head_end + 4 + content_length(req.headers);
  while (req.raw.size() < want) {
    auto r = s.read_some(buf, sizeof buf);
    if (!r) return r.error();
    if (*r == 0) return Error("connection closed inside the request body");
    req.raw.append(buf, *r);
  }
  req.body = req.raw.substr(head_end + 4);
  return req;
}

}  // namespace

Reply& Reply::send(std::string bytes) {
  steps_.push_back(Step{Step::Send, std::move(bytes), 0, {}});
  return *this;
}

Reply& Reply::gate(int id) {
  steps_.push_back(Step{Step::Gate, {}, id, {}});
  return *this;
}

Reply& Reply::pause(std::chrono::milliseconds ms) {
  steps_.push_back(Step{Step::Pause, {}, 0, ms});
  return *this;
}

Result<std::unique_ptr<ModelPeer>> ModelPeer::start(const std::string& addr_port, const std::string& cert_file,
                                                    const std::string& key_file) {
  std::unique_ptr<ModelPeer> peer(new ModelPeer());
  auto server = TlsPeerServer::start(addr_port, cert_file, key_file, kSocketTimeoutMs,
                                     [p = peer.get()](drovix::TlsStream& tls) { p->serve(tls); });
  if (!server) return server.error();
  peer->server_ = std::move(*server);
  return peer;
}

ModelPeer::~ModelPeer() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  cv_.notify_all();
  server_.reset();
}

void ModelPeer::push(Reply reply) {
  std::lock_guard lock(mu_);
  replies_.push_back(std::move(reply));
}

void ModelPeer::open(int gate) {
  {
    std::lock_guard lock(mu_);
    open_gates_.insert(gate);
  }
  cv_.notify_all();
}

bool ModelPeer::wait_at_gate(int gate, std::chrono::milliseconds limit) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return waiting_gates_.count(gate) > 0; });
}

bool ModelPeer::wait_gate(int gate) {
  std::unique_lock lock(mu_);
  waiting_gates_.insert(gate);
  cv_.notify_all();
  bool opened = cv_.wait_for(lock, kGateLimit, [&] { return stopping_ || open_gates_.count(gate) > 0; });
  waiting_gates_.erase(gate);
  return opened && !stopping_;
}

std::vector<RecordedRequest> ModelPeer::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

bool ModelPeer::wait_requests(size_t n, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, limit, [&] { return requests_.size() >= n; });
}

void ModelPeer::serve(drovix::TlsStream& tls) {
  auto req = read_request(tls);
  if (!req) return;

  Reply reply;
  {
    std::lock_guard lock(mu_);
    requests_.push_back(*req);
    if (!replies_.empty()) {
      reply = std::move(replies_.front());
      replies_.pop_front();
    } else {
      reply.send(http_response(500, "application/json", anthropic_error_body("api_error", "no scripted reply")));
    }
  }
  cv_.notify_all();

  bool whole = true;
  for (const auto& step : reply.steps()) {
    if (step.kind == Reply::Step::Send) {
      if (!tls.write_all(step.bytes)) {
        whole = false;
        break;
      }
    } else if (step.kind == Reply::Step::Gate) {
      if (!wait_gate(step.gate)) {
        whole = false;
        break;
      }
    } else {
      std::this_thread::sleep_for(step.pause);
    }
  }
  if (whole) (void)tls.finish();
}

std::string http_head(int status, const Headers& headers) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason_phrase(status) + "\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  return out + "\r\n";
}

std::string http_response(int status, const std::string& content_type, std::string_view body) {
  return http_head(status, {{"content-type", content_type},
                            {"content-length", std::to_string(body.size())},
                            {"connection", "close"}}) +
         std::string(body);
}

std::string http_chunk(std::string_view data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return size + std::string(data) + "\r\n";
}

std::string http_last_chunk() { return "0\r\n\r\n"; }

std::string sse_event(const nlohmann::json& event, bool crlf) {
  const char* nl = crlf ? "\r\n" : "\n";
  std::string type = event.is_object() && event.contains("type") && event["type"].is_string()
                         ? event["type"].get<std::string>()
                         : "message";
  return "event: " + type + nl + "data: " + event.dump() + nl + nl;
}

std::string eventstream_frame(const Headers& headers, std::string_view payload) {
  std::string hdrs;
  for (const auto& [name, value] : headers) {
    hdrs += static_cast<char>(name.size());
    hdrs += name;
    hdrs += static_cast<char>(7);  // string
    hdrs += static_cast<char>(value.size() >> 8);
    hdrs += static_cast<char>(value.size() & 0xFF);
    hdrs += value;
  }
  uint32_t total = static_cast<uint32_t>(12 + hdrs.size() + payload.size() + 4);
  std::string out;
  put_be32(out, total);
  put_be32(out, static_cast<uint32_t>(hdrs.size()));
  put_be32(out, crc32(out));
  out += hdrs;
  out += payload;
  put_be32(out, crc32(out));
  return out;
}

std::string bedrock_chunk(const nlohmann::json& event) {
  nlohmann::json payload = {{"bytes", drovix::base64_encode(event.dump())}, {"p", "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ"}};
  return eventstream_frame({{":event-type", "chunk"}, {":content-type", "application/json"}, {":message-type", "event"}},
                           payload.dump());
}

std::string bedrock_exception(const std::string& type, const std::string& message) {
  nlohmann::json payload = {{"message", message}};
  return eventstream_frame(
      {{":exception-type", type}, {":content-type", "application/json"}, {":message-type", "exception"}},
      payload.dump());
}

nlohmann::json message_start(uint64_t input_tokens) {
  return {{"type", "message_start"},
          {"message",
           {{"id", "msg_peer"},
            {"type", "message"},
            {"role", "assistant"},
            {"content", nlohmann::json::array()},
            {"model", "peer-model"},
            {"stop_reason", nullptr},
            {"usage", {{"input_tokens", input_tokens}, {"output_tokens", 1}}}}}};
}

nlohmann::json text_delta(const std::string& text) {
  return {{"type", "content_block_delta"}, {"index", 0}, {"delta", {{"type", "text_delta"}, {"text", text}}}};
}

nlohmann::json message_delta(uint64_t output_tokens) {
  return {{"type", "message_delta"},
          {"delta", {{"stop_reason", "end_turn"}, {"stop_sequence", nullptr}}},
          {"usage", {{"output_tokens", output_tokens}}}};
}

nlohmann::json message_stop() { return {{"type", "message_stop"}}; }

nlohmann::json stream_error(const std::string& type, const std::string& message) {
  return {{"type", "error"}, {"error", {{"type", type}, {"message", message}}}};
}

nlohmann::json messages_reply(const std::string& text, uint64_t input_tokens, uint64_t output_tokens) {
  return {{"id", "msg_peer"},
          {"type", "message"},
          {"role", "assistant"},
          {"model", "peer-model"},
          {"content", nlohmann::json::array({{{"type", "text"}, {"text", text}}})},
          {"stop_reason", "end_turn"},
          {"usage", {{"input_tokens", input_tokens}, {"output_tokens", output_tokens}}}};
}

std::string anthropic_error_body(const std::string& type, const std::string& message) {
  return nlohmann::json{{"type", "error"}, {"error", {{"type", type}, {"message", message}}}}.dump();
}

std::string bedrock_error_body(const std::string& message) { return nlohmann::json{{"message", message}}.dump(); }

std::string aws_error_body(const std::string& message) {
  return nlohmann::json{{"Message", message}, {"__type", "ServiceException"}}.dump();
}

std::string graph_upload_response(int status, const std::string& name, const std::string& web_url) {
  nlohmann::json item = {{"id", "01PEERITEM"}, {"name", name}, {"size", 0}, {"file", {{"mimeType", "application/octet-stream"}}}};
  if (!web_url.empty()) item["webUrl"] = web_url;
  return http_response(status, "application/json", item.dump());
}

}  // namespace peers
