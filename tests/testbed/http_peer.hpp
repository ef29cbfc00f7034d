#pragma once
// A small scripted HTTP/1.1 peer on 127.0.0.1 (plain TCP, one thread per
// connection) that records every request it receives. Connections are kept
// open for further requests unless a reply says otherwise.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testbed {

using PeerHeaders = std::vector<std::pair<std::string, std::string>>;

struct PeerRequest {
  std::string method;
  std::string target;  // as sent, query included
  PeerHeaders headers;
  std::string body;    // Content-Length or chunked bodies, decoded
  int connection = 0;  // 1 for the first accepted connection, 2 for the next...

  // First value of a header, the name compared without regard to case.
  std::optional<std::string> header(const std::string& name) const;
};

struct PeerReply {
  int status = 200;
  std::string reason;  // empty: a standard phrase for the status
  PeerHeaders headers;
  std::string body;
  bool close = false;  // send "Connection: close" and close afterwards
  // When not empty, these bytes are sent instead of a built reply and the
  // connection is closed (malformed or cut replies).
  std::string raw;
  // Instead of answering, drop the connection with a TCP reset.
  bool reset = false;
  std::chrono::milliseconds delay{0};  // wait before answering
};

class HttpPeer {
 public:
  using Script = std::function<PeerReply(const PeerRequest&)>;

  // Without a script every request gets 200 with an empty body.
  explicit HttpPeer(Script script = nullptr);
  ~HttpPeer();
  HttpPeer(const HttpPeer&) = delete;
  HttpPeer& operator=(const HttpPeer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:{port}" followed by path.
  std::string url(const std::string& path = "/") const;

  std::vector<PeerRequest> requests() const;
  int connections() const { return accepted_.load(); }
  // Waits until at least n requests have arrived.
  bool wait_for_requests(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  void accept_loop();
  void serve(int fd, int index);

  Script script_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<PeerRequest> requests_;
  std::vector<int> open_fds_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace testbed
