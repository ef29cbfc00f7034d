#include "host/src/main/startup.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "common/fs.hpp"
#include "common/tls.hpp"
#include "host/src/console/network.hpp"
#include "host/src/console/restore.hpp"
#include "host/src/console/router.hpp"
#include "host/src/gateway/router.hpp"
#include "host/src/http/listener.hpp"
#include "host/src/http/tls_setup.hpp"
#include "host/src/main/version.hpp"
#include "host/src/sp/sharepoint.hpp"

namespace drovix::host {

namespace {
constexpr size_t kGatewayMaxBody = 67108864;
constexpr size_t kConsoleMaxBody = 8388608;
}  // namespace

bool wants_version(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) return true;
  }
  return false;
}

int count_customer_cas(const std::string& certs_dir) {
  auto text = read_file(certs_dir + "/ca.pem");
  if (!text) return 0;
  auto sections = read_pem_sections(*text, /*skip_malformed=*/true);
  if (!sections) return 0;
  int n = 0;
  for (const auto& s : *sections)
    if (s.label == "CERTIFICATE") ++n;
  return n;
}

std::string describe_clickhouse(const ClickHouseSettings& ch) {
  return ch.url + " as " + (ch.user.empty() ? std::string("default") : ch.user);
}

std::string start_banner(const HostConfig& cfg, bool sharepoint_set, int customer_cas) {
  std::string port = cfg.console_port == 443 ? "" : ":" + std::to_string(cfg.console_port);
  return std::string("[drovix-host] ") + kVersion + " \xE2\x80\x94 console https://" + cfg.hostname + port +
         " (agents :8001-8008), gateway https://10.0.9.1:443; ClickHouse " + describe_clickhouse(cfg.clickhouse) +
         "; host " + cfg.hostname + ", home " + cfg.home + "; agent " + cfg.agent_bin + "; tarvo " + cfg.hypervisor +
         "; SharePoint " + (sharepoint_set ? "set" : "NOT SET") + "; origin copy " + (cfg.origin.enabled ? "on" : "off") +
         "; customer CAs " + std::to_string(customer_cas) + "\n";
}

int host_main(int argc, char** argv) {
  if (wants_version(argc, argv)) {
    std::printf("drovix-host %s\n", kVersion);
    return 0;
  }
  ::signal(SIGPIPE, SIG_IGN);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const HostConfig& cfg = host_config();

  auto tls = tls_server_config(cfg.certs + "/fullchain.pem", cfg.certs + "/privkey.pem");
  if (!tls) {
    std::fprintf(stderr, "[drovix-host] TLS certificate in %s: %s\n", cfg.certs.c_str(), tls.message().c_str());
    return 1;
  }
  TlsContext tls_config = *tls;

  setup_host_network();
  restore_at_startup();

  HttpService gateway{kGatewayMaxBody, std::make_shared<const Handler>(route_gateway_request)};
  HttpService console{kConsoleMaxBody, std::make_shared<const Handler>(route_console_request)};

  if (cfg.console_port == 443) {
    start_listener_with_retries("console and gateway on :443",
                                [&] { return listen_shared_port(tls_config, "10.0.9.1", gateway, console); });
  } else {
    start_listener_with_retries("gateway on 10.0.9.1:443", [&] { return listen_gateway("10.0.9.1", tls_config, gateway); });
    start_listener_with_retries("console on :" + std::to_string(cfg.console_port),
                                [&] { return listen_console(cfg.console_port, tls_config, console); });
  }

  std::fputs(start_banner(cfg, sharepoint_configured(), count_customer_cas(cfg.certs)).c_str(), stdout);
  std::fflush(stdout);

  for (;;) ::pause();
}

}  // namespace drovix::host
