#pragma once
// The host's own HTTP/1.1 server messages: one request per connection,
// bodies delimited by Content-Length, every reply closing the connection.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json.hpp"
#include "common/result.hpp"
#include "common/stream.hpp"

namespace drovix::host {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string path = "/";
  HeaderList headers;
  std::string body;
  std::string peer;  // IP address of the other end, without the port
};

struct HttpResponse {
  std::string body;
  HeaderList headers;
  const char* content_type = "application/json";
  uint16_t status = 200;
};

using Handler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpService {
  size_t max_body = 0;
  std::shared_ptr<const Handler> handler;
};

// The reader's error message when the peer ends the stream before the
// announced Content-Length has arrived (kind UnexpectedEof). The other
// failures: "closed" (UnexpectedEof) before the header block is complete,
// "headers too large" and "body too large" (InvalidData); stream errors pass
// through unchanged.
inline constexpr const char* kBodyIncomplete = "body incomplete";

// Reads exactly one request; whatever follows its body is dropped.
Result<HttpRequest> read_request(ByteStream& stream, const std::string& peer, size_t max_body);
std::optional<std::string> header(const HttpRequest& req, std::string_view name);
std::optional<std::pair<std::string, std::string>> split_header_line(std::string_view line);
std::optional<size_t> find_header_end(std::string_view bytes);
// Writes head and body, then ends the session cleanly (close_notify).
Status write_response(ByteStream& stream, const HttpResponse& resp);
HttpResponse json_response(uint16_t status, const OJson& value);
HttpResponse with_set_cookie(HttpResponse resp, std::string cookie);
const char* reason_phrase(uint16_t status);

}  // namespace drovix::host
