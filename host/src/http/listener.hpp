#pragma once
// The host's HTTPS listeners: opening the listening sockets (with retries at
// start-up), one thread per accepted connection, and serving the one
// request of each connection to the relay, the gateway or the console.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/net.hpp"
#include "common/result.hpp"
#include "common/tls.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

// The local address that marks a connection from an agent VM.
inline constexpr const char* kGatewayIp = "10.0.9.1";

// Runs start up to 10 times, pause apart. Returns on the first success;
// after the 10th failure prints "[drovix-host] {name}: {error}" to standard
// error and ends the process with status 1.
void start_listener_with_retries(const std::string& name, const std::function<Status()>& start,
                                 std::chrono::milliseconds pause = std::chrono::seconds(1));

// One listener on 0.0.0.0:443 for both services: connections whose local
// address is the gateway address get the gateway service, all others the
// console service.
Status listen_shared_port(const TlsContext& tls, const std::string& gateway_ip, const HttpService& gateway,
                          const HttpService& console);
// The gateway on {gateway_ip}:443.
Status listen_gateway(const std::string& gateway_ip, const TlsContext& tls, const HttpService& gateway);
// The console on 0.0.0.0:{port}.
Status listen_console(uint16_t port, const TlsContext& tls, const HttpService& console);

// Binds addr_port ("10.0.9.1:443") and starts its accept loop on a detached
// thread. On failure nothing is started.
Status spawn_listener(const std::string& addr_port, const TlsContext& tls, size_t max_body,
                      std::shared_ptr<const Handler> handler);

// Accept-loop thread bodies; they run until the process ends.
void accept_loop(Socket listener, TlsContext tls, size_t max_body, std::shared_ptr<const Handler> handler);
void shared_accept_loop(Socket listener, TlsContext tls, std::string gateway_ip, HttpService gateway,
                        HttpService console);

// Thread body for one accepted connection; the outcome is dropped.
void host_connection_thread(Socket sock, TlsContext tls, size_t max_body, std::shared_ptr<const Handler> handler);

// Serves exactly one request on an accepted socket: TLS, read, dispatch,
// reply, close_notify. The socket stays open for the caller to close.
Status serve_connection(const Socket& sock, const TlsContext& tls, size_t max_body, const Handler& handler);

}  // namespace drovix::host
