// Serves a static 200 reply through the host's console listener, for
// measuring new TLS connections per second (one request each) with an
// outside load generator. tools/bench/tls-vs-nginx.sh runs it side by side
// with nginx.
//
//   bench_tls_connections <cert folder> <port> [seconds]
//
// The folder holds fullchain.pem and privkey.pem. Without seconds it serves
// until killed.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "host/src/http/listener.hpp"
#include "host/src/http/tls_setup.hpp"

using namespace drovix;
using namespace drovix::host;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <cert folder> <port> [seconds]\n", argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::string dir = argv[1];
  int port = std::atoi(argv[2]);
  int seconds = argc > 3 ? std::atoi(argv[3]) : 0;
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "bad port: %s\n", argv[2]);
    return 2;
  }

  auto tls = tls_server_config(dir + "/fullchain.pem", dir + "/privkey.pem");
  if (!tls) {
    std::fprintf(stderr, "TLS certificate in %s: %s\n", dir.c_str(), tls.message().c_str());
    return 1;
  }
  auto handler = std::make_shared<const Handler>(
      [](const HttpRequest&) { return json_response(200, OJson{{"ok", true}}); });
  HttpService console{8388608, handler};
  start_listener_with_retries("console on :" + std::to_string(port),
                              [&] { return listen_console(static_cast<uint16_t>(port), *tls, console); });
  std::printf("listening on :%d\n", port);
  std::fflush(stdout);
  if (seconds > 0) {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return 0;
  }
  for (;;) ::pause();
}
