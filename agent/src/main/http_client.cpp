#include "agent/src/main/http_client.hpp"

#include <arpa/inet.h>

#include "agent/src/main/buf_reader.hpp"
#include "agent/src/main/response_head.hpp"
#include "agent/src/main/trust.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

// Far above the largest reply of the gateway and the relay.
constexpr uint64_t kMaxBody = uint64_t{1} << 30;
constexpr size_t kMaxChunkLine = 4096;

std::string with_prefix(const char* prefix, const std::string& msg) {
  // Socket errors may already name the step.
  std::string p = std::string(prefix) + ": ";
  return starts_with(msg, p) ? msg : p + msg;
}

bool is_ip_literal(const std::string& s) {
  unsigned char buf[16];
  return ::inet_pton(AF_INET, s.c_str(), buf) == 1 || ::inet_pton(AF_INET6, s.c_str(), buf) == 1;
}

bool is_dns_name(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  if (s.empty() || s.size() > 253) return false;
  size_t label = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '.') {
      if (label == 0 || s[i - 1] == '-') return false;
      label = 0;
      continue;
    }
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok || (label == 0 && c == '-') || ++label > 63) return false;
  }
  return s.back() != '-';
}

// Reads, counting a bare end of the TLS stream (no close_notify) as the end.
Result<size_t> read_some_eof_ok(BufReader& in, char* buf, size_t n) {
  auto r = in.read_some(buf, n);
  if (!r && r.error().kind == ErrorKind::UnexpectedEof) return size_t{0};
  return r;
}

Result<size_t> read_line_eof_ok(BufReader& in, std::string& line, size_t max) {
  auto r = in.read_line(line, max);
  if (!r && r.error().kind == ErrorKind::UnexpectedEof) return size_t{0};
  return r;
}

Error body_error(const Error& e) { return Error(e.kind, "read body: " + e.message); }
Error cut_short(std::string what) { return Error(ErrorKind::UnexpectedEof, "read body: " + what); }

// Appends up to n bytes; false when the stream ended before all n came.
Result<bool> read_exact(BufReader& in, std::string& body, uint64_t n) {
  char buf[4096];
  while (n > 0) {
    auto r = read_some_eof_ok(in, buf, n < sizeof buf ? static_cast<size_t>(n) : sizeof buf);
    if (!r) return body_error(r.error());
    if (*r == 0) return false;
    body.append(buf, *r);
    n -= *r;
  }
  return true;
}

std::optional<uint64_t> chunk_size_of(std::string_view line) {
  size_t semi = line.find(';');  // chunk extensions are ignored
  std::string_view s = trim_ascii(line.substr(0, semi));
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || s.size() > 15) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  return v;
}

Status read_chunked(BufReader& in, std::string& body) {
  std::string line;
  for (;;) {
    line.clear();
    auto n = read_line_eof_ok(in, line, kMaxChunkLine);
    if (!n) return body_error(n.error());
    if (*n == 0 || line.back() != '\n') return cut_short("the reply ended before its last chunk");
    auto size = chunk_size_of(line);
    if (!size) return Error(ErrorKind::InvalidData, "read body: invalid chunk size line");
    if (*size == 0) {
      // Trailer fields up to the blank line; the end of the stream also ends them.
      for (;;) {
        line.clear();
        auto t = read_line_eof_ok(in, line, kMaxChunkLine);
        if (!t) return body_error(t.error());
        if (*t == 0 || line == "\r\n" || line == "\n") return ok_status();
      }
    }
    if (body.size() + *size > kMaxBody) return Error(ErrorKind::InvalidData, "read body: reply too large");
    auto data = read_exact(in, body, *size);
    if (!data) return data.error();
    std::string crlf;  // the line end after the data
    auto end = *data ? read_exact(in, crlf, 2) : Result<bool>(false);
    if (!end) return end.error();
    if (!*end) return cut_short("the reply ended before its last chunk");
  }
}

}  // namespace

Result<std::unique_ptr<ServiceConnection>> connect_service(const std::string& ip, int port, const std::string& host,
                                                           const TlsContext& trust, SocketLimits limits) {
  if (!is_ip_literal(ip)) return Error("bad ip: invalid IP address syntax");
  auto sock = tcp_connect(ip, port, limits.connect_ms);
  if (!sock) return Error(sock.error().kind, with_prefix("connect", sock.message()));
  if (auto st = set_recv_timeout(*sock, limits.idle_ms); !st) return Error(with_prefix("connect", st.message()));
  if (auto st = set_send_timeout(*sock, limits.idle_ms); !st) return Error(with_prefix("connect", st.message()));
  if (!trust) return Error("tls cfg: no trust anchors");
  if (!is_ip_literal(host) && !is_dns_name(host)) return Error("sni: invalid dns name");
  auto tls = TlsStream::connect(*sock, trust, host);
  if (!tls) return Error(tls.error().kind, with_prefix("conn", tls.message()));
  return std::make_unique<ServiceConnection>(std::move(*sock), std::move(*tls));
}

Result<std::unique_ptr<ServiceConnection>> gateway_connect(const std::string& ip, const std::string& host) {
  return connect_service(ip, 443, host, ca_roots(), SocketLimits{});
}

Result<HttpReply> read_reply(ByteStream& stream) {
  BufReader in(stream, 8192);
  auto head = read_response_head(in);
  if (!head) return head.error();
  HttpReply reply;
  reply.status = head->status;
  reply.location = std::move(head->location);
  if (head->chunked) {
    if (auto st = read_chunked(in, reply.body); !st) return st.error();
  } else if (head->content_length) {
    uint64_t want = *head->content_length;
    if (want > kMaxBody) return Error(ErrorKind::InvalidData, "read body: reply too large");
    size_t before = reply.body.size();
    auto done = read_exact(in, reply.body, want);
    if (!done) return done.error();
    if (!*done)
      return cut_short("the reply ended after " + std::to_string(reply.body.size() - before) + " of " +
                       std::to_string(want) + " bytes");
  } else {
    char buf[4096];
    for (;;) {
      auto r = read_some_eof_ok(in, buf, sizeof buf);
      if (!r) return body_error(r.error());
      if (*r == 0) break;
      if (reply.body.size() + *r > kMaxBody) return Error(ErrorKind::InvalidData, "read body: reply too large");
      reply.body.append(buf, *r);
    }
  }
  return reply;
}

Result<HttpReply> http_exchange(std::unique_ptr<ServiceConnection> conn) { return read_reply(*conn); }

Result<SJson> post_agents_op(const Keyring& kr, const std::string& op, const SJson& body) {
  auto ep = keyring_endpoint(kr, "statesink");
  if (!ep) return Error("the gateway is not reachable");
  std::string text = to_compact(body);
  auto conn = gateway_connect(ep->ip, ep->host);
  if (!conn) return conn.error();
  if (auto err = keyring_request_head(kr, "statesink", ep->host, "POST /v1/agents/" + op + " HTTP/1.1",
                                      {{"content-type", "application/json"}}, text, **conn))
    return Error(err->text());
  auto reply = http_exchange(std::move(*conn));
  if (!reply) return reply.error();
  SJson doc = parse_json<SJson>(reply->body).value_or(SJson());
  if (doc.is_object()) {
    auto it = doc.find("error");
    if (it != doc.end() && it->is_string()) return Error(it->get<std::string>());
  }
  if (reply->status < 200 || reply->status > 299) return Error("gateway HTTP " + std::to_string(reply->status));
  return doc;
}

}  // namespace drovix::agent
