#pragma once
// A TLS server on 127.0.0.1:443 (inside a test's own network namespace)
// that answers each connection with the next scripted reply and records
// the request it read.
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/net.hpp"
#include "common/tls.hpp"

namespace agenttest {

struct TlsReply {
  std::string bytes;
  bool close_notify = true;  // false: close the socket without TLS close_notify
  bool stall = false;        // read the request, then send nothing for a while
};

class TlsPeer {
 public:
  // cert_dir holds fullchain.pem and privkey.pem.
  explicit TlsPeer(const std::string& cert_dir, const std::string& addr = "127.0.0.1:443");
  ~TlsPeer();

  void push(TlsReply reply);
  std::vector<std::string> requests();

 private:
  void serve();

  drovix::TlsContext ctx_;
  drovix::Socket listener_;
  std::mutex mu_;
  std::vector<TlsReply> replies_;
  std::vector<std::string> requests_;
  size_t next_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace agenttest
