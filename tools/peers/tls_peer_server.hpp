#pragma once
// The listening half every TLS test peer shares: one thread per connection,
// each handed its TLS session; stopping shuts down the live connections and
// joins every thread.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/net.hpp"
#include "common/result.hpp"
#include "common/tls.hpp"

namespace peers {

class TlsPeerServer {
 public:
  using Session = std::function<void(drovix::TlsStream&)>;

  // Listens on addr_port ("127.0.0.1:0", "10.0.9.1:443") with the given
  // certificate chain and key; each socket wait is bounded by timeout_ms.
  static drovix::Result<std::unique_ptr<TlsPeerServer>> start(const std::string& addr_port,
                                                               const std::string& cert_file,
                                                               const std::string& key_file, int timeout_ms,
                                                               Session serve);
  ~TlsPeerServer();
  TlsPeerServer(const TlsPeerServer&) = delete;
  TlsPeerServer& operator=(const TlsPeerServer&) = delete;

  int port() const { return port_; }

 private:
  TlsPeerServer() = default;
  void accept_loop();
  void serve(drovix::Socket sock);

  drovix::Socket listener_;
  drovix::TlsContext ctx_;
  int port_ = 0;
  int timeout_ms_ = 0;
  Session session_;
  std::mutex mu_;
  bool stopping_ = false;
  std::vector<int> live_fds_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

}  // namespace peers
