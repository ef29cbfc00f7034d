#pragma once
// A scripted stand-in for the model providers (Anthropic Messages API,
// Bedrock invoke and invoke-with-response-stream, a private model server)
// and for Microsoft Graph's upload, speaking their wire formats over TLS.
// It listens on loopback or on an address inside a test's namespace,
// records every request byte for byte and answers each connection with the
// next scripted reply. A reply can stop at a gate until the test opens it,
// so a test can see what the client did with the bytes sent so far.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/net.hpp"
#include "common/result.hpp"
#include "common/tls.hpp"
#include "tools/peers/tls_peer_server.hpp"

namespace peers {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string raw;  // head and body exactly as received
  std::string request_line;
  Headers headers;  // in order, as sent
  std::string body;
};

// One scripted reply: bytes to send, gates to wait at, pauses.
class Reply {
 public:
  struct Step {
    enum Kind { Send, Gate, Pause } kind = Send;
    std::string bytes;
    int gate = 0;
    std::chrono::milliseconds pause{0};
  };

  // Sends the bytes in one write.
  Reply& send(std::string bytes);
  // Waits until the test opens the gate (or the peer stops; then the
  // connection is dropped without sending more).
  Reply& gate(int id);
  Reply& pause(std::chrono::milliseconds ms);

  const std::vector<Step>& steps() const { return steps_; }

 private:
  std::vector<Step> steps_;
};

class ModelPeer {
 public:
  // addr_port: "127.0.0.1:0" (any free port), "10.0.9.1:443", ...
  static drovix::Result<std::unique_ptr<ModelPeer>> start(const std::string& addr_port,
                                                          const std::string& cert_file,
                                                          const std::string& key_file);
  ~ModelPeer();
  ModelPeer(const ModelPeer&) = delete;
  ModelPeer& operator=(const ModelPeer&) = delete;

  int port() const { return server_->port(); }

  // Replies are used in order, one per connection. A connection that finds
  // none gets a 500 with an Anthropic-shaped error.
  void push(Reply reply);
  void open(int gate);
  // Waits until a reply has sent everything before the gate and waits there.
  bool wait_at_gate(int gate, std::chrono::milliseconds limit = std::chrono::seconds(10));

  std::vector<RecordedRequest> requests() const;
  bool wait_requests(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  ModelPeer() = default;
  void serve(drovix::TlsStream& tls);
  bool wait_gate(int gate);

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  std::deque<Reply> replies_;
  std::set<int> open_gates_;
  std::set<int> waiting_gates_;
  std::vector<RecordedRequest> requests_;
  std::unique_ptr<TlsPeerServer> server_;  // last: stops before the state above goes
};

// ---- wire pieces ----

// "HTTP/1.1 {status} {reason}\r\n", the headers, "\r\n".
std::string http_head(int status, const Headers& headers);
// A whole reply with content-length and connection: close.
std::string http_response(int status, const std::string& content_type, std::string_view body);
// One chunk of a chunked body, and the last chunk.
std::string http_chunk(std::string_view data);
std::string http_last_chunk();

// One server-sent event: "event: {type}\ndata: {json}\n\n" ("\r\n" with crlf).
std::string sse_event(const nlohmann::json& event, bool crlf = false);

// One AWS event-stream frame with string headers, the payload, and both
// CRC-32 checksums.
std::string eventstream_frame(const Headers& headers, std::string_view payload);
// A Bedrock data frame carrying one stream event as {"bytes": base64}.
std::string bedrock_chunk(const nlohmann::json& event);
// A Bedrock exception frame {"message": ...}.
std::string bedrock_exception(const std::string& type, const std::string& message);

// Stream events of the Messages API.
nlohmann::json message_start(uint64_t input_tokens);
nlohmann::json text_delta(const std::string& text);
nlohmann::json message_delta(uint64_t output_tokens);
nlohmann::json message_stop();
nlohmann::json stream_error(const std::string& type, const std::string& message);

// A complete non-streaming Messages API reply with one text block.
nlohmann::json messages_reply(const std::string& text, uint64_t input_tokens, uint64_t output_tokens);

// Error bodies in the three shapes the providers use: Anthropic's
// {"type":"error","error":{"type","message"}}, Bedrock's {"message"} and
// the upper-case {"Message"} of AWS service errors.
std::string anthropic_error_body(const std::string& type, const std::string& message);
std::string bedrock_error_body(const std::string& message);
std::string aws_error_body(const std::string& message);

// Graph's answer to PUT .../content: the driveItem of the file, with its
// webUrl when one is given.
std::string graph_upload_response(int status, const std::string& name, const std::string& web_url);

}  // namespace peers
