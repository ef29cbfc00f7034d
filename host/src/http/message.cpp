#include "host/src/http/message.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>

#include "common/text.hpp"

namespace drovix::host {

namespace {

constexpr size_t kReadChunk = 16384;
constexpr size_t kInitialBuffer = 4096;
constexpr size_t kHeaderLimit = 65536;
// The body buffer grows as bytes arrive; an announced length alone never
// reserves more than this.
constexpr size_t kBodyReserveCap = 1 << 20;

// Splits valid UTF-8 text at runs of Unicode white space.
std::vector<std::string> split_white(std::string_view s) {
  std::vector<std::string> out;
  std::string cur;
  int32_t i = 0, n = static_cast<int32_t>(s.size());
  while (i < n) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(s.data()), i, n, c);
    if (c >= 0 && u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur.append(s.substr(start, i - start));
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

// An optional "+", then one or more ASCII digits, within 64 bits; anything
// else reads as 0.
uint64_t parse_content_length(std::string_view v) {
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  if (v.empty()) return 0;
  uint64_t n = 0;
  for (char ch : v) {
    if (ch < '0' || ch > '9') return 0;
    uint64_t d = static_cast<uint64_t>(ch - '0');
    if (n > (UINT64_MAX - d) / 10) return 0;
    n = n * 10 + d;
  }
  return n;
}

bool header_name_is(std::string_view a, std::string_view b) { return iequals_ascii(a, b); }

}  // namespace

std::optional<size_t> find_header_end(std::string_view bytes) {
  if (bytes.size() < 4) return std::nullopt;
  auto pos = bytes.find("\r\n\r\n");
  if (pos == std::string_view::npos) return std::nullopt;
  return pos;
}

std::optional<std::pair<std::string, std::string>> split_header_line(std::string_view line) {
  auto colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return std::make_pair(trim_unicode(line.substr(0, colon)), trim_unicode(line.substr(colon + 1)));
}

std::optional<std::string> header(const HttpRequest& req, std::string_view name) {
  for (const auto& [k, v] : req.headers)
    if (header_name_is(k, name)) return v;
  return std::nullopt;
}

Result<HttpRequest> read_request(ByteStream& stream, const std::string& peer, size_t max_body) {
  std::string buf;
  buf.reserve(kInitialBuffer);
  char scratch[kReadChunk];
  size_t searched = 0;  // bytes already known to hold no terminator start
  size_t head_end = 0;
  for (;;) {
    auto r = stream.read_some(scratch, sizeof scratch);
    if (!r) return r.error();
    if (*r == 0) return Error(ErrorKind::UnexpectedEof, "closed");
    buf.append(scratch, *r);
    if (buf.size() >= 4) {
      auto pos = std::string_view(buf).find("\r\n\r\n", searched);
      if (pos != std::string_view::npos) {
        head_end = pos;
        break;
      }
      searched = buf.size() - 3;
    }
    if (buf.size() > kHeaderLimit) return Error(ErrorKind::InvalidData, "headers too large");
  }

  HttpRequest req;
  req.peer = peer;
  std::string head = utf8_lossy(std::string_view(buf).substr(0, head_end));
  std::string_view rest(head);
  bool first = true;
  for (;;) {
    auto eol = rest.find("\r\n");
    std::string_view line = rest.substr(0, eol);
    if (first) {
      auto tokens = split_white(line);
      if (!tokens.empty()) req.method = tokens[0];
      if (tokens.size() >= 2) req.path = tokens[1];
      first = false;
    } else if (auto kv = split_header_line(line)) {
      req.headers.push_back(std::move(*kv));
    }
    if (eol == std::string_view::npos) break;
    rest.remove_prefix(eol + 2);
  }

  uint64_t length = 0;
  if (auto cl = header(req, "content-length")) length = parse_content_length(*cl);
  if (length > max_body) return Error(ErrorKind::InvalidData, "body too large");

  size_t want = static_cast<size_t>(length);
  size_t body_start = head_end + 4;
  size_t have = std::min(buf.size() - body_start, want);
  req.body.reserve(std::min(want, std::max(have, kBodyReserveCap)));
  req.body.assign(buf, body_start, have);
  buf.clear();
  buf.shrink_to_fit();
  while (req.body.size() < want) {
    size_t ask = std::min(kReadChunk, want - req.body.size());
    auto r = stream.read_some(scratch, ask);
    if (!r) return r.error();
    // A body cut short by the peer is not a request: handing it on as
    // complete would let a handler act on truncated data.
    if (*r == 0) return Error(ErrorKind::UnexpectedEof, kBodyIncomplete);
    req.body.append(scratch, *r);
  }
  return req;
}

const char* reason_phrase(uint16_t status) {
  switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 413: return "Payload Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    default: return "";
  }
}

Status write_response(ByteStream& stream, const HttpResponse& resp) {
  std::string head;
  head.reserve(128 + resp.headers.size() * 64);
  head += "HTTP/1.1 ";
  head += std::to_string(resp.status);
  head += ' ';
  head += reason_phrase(resp.status);
  head += "\r\nContent-Type: ";
  head += resp.content_type ? resp.content_type : "";
  head += "\r\nContent-Length: ";
  head += std::to_string(resp.body.size());
  head += "\r\nConnection: close\r\n";
  for (const auto& [k, v] : resp.headers) {
    head += k;
    head += ": ";
    head += v;
    head += "\r\n";
  }
  head += "\r\n";
  // A small body travels in the same TLS record as the head.
  if (resp.body.size() <= kReadChunk) {
    head += resp.body;
    auto st = stream.write_all(head);
    if (!st) return st;
  } else {
    auto st = stream.write_all(head);
    if (!st) return st;
    st = stream.write_all(resp.body);
    if (!st) return st;
  }
  return stream.finish();
}

HttpResponse json_response(uint16_t status, const OJson& value) {
  HttpResponse r;
  r.body = to_compact(value);
  r.content_type = "application/json";
  r.status = status;
  return r;
}

HttpResponse with_set_cookie(HttpResponse resp, std::string cookie) {
  resp.headers.emplace_back("Set-Cookie", std::move(cookie));
  return resp;
}

}  // namespace drovix::host
