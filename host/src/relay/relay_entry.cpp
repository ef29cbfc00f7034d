#include <cstdint>

#include "common/crypto.hpp"
#include "common/text.hpp"
#include "host/src/console/network.hpp"
#include "host/src/main/config.hpp"
#include "host/src/origin/console_signal.hpp"
#include "host/src/relay/relay.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

constexpr const char* kTokenHeader = "x-drovix-relay";
constexpr const char* kBadToken = "this VM has no relay token, or sent the wrong one";
constexpr const char* kNoCredential = "this host has no credential for that service right now";

// The first "x-drovix-relay" header decides; later ones are not looked at.
bool token_matches(const HttpRequest& req, const OJson& record) {
  if (!record.is_object()) return false;
  auto it = record.find("token");
  if (it == record.end() || !it->is_string()) return false;
  const std::string& token = it->get_ref<const std::string&>();
  if (token.empty()) return false;
  auto presented = header(req, kTokenHeader);
  return presented && constant_time_equal(*presented, token);
}

RelayGrant grant_from(const OJson& record) {
  RelayGrant g;
  if (!record.is_object()) return g;
  g.provider = json_get_str(record, "provider");
  g.onedrive = json_get_str(record, "onedrive");
  auto it = record.find("upstream");
  if (it != record.end() && it->is_object()) g.upstream = *it;
  return g;
}

std::string graph_text(const OJson& upstream, const char* key) {
  auto it = upstream.find("graph");
  if (it == upstream.end() || !it->is_object()) return "";
  return json_get_str(*it, key);
}

}  // namespace

RelayPath split_relay_path(std::string_view path) {
  RelayPath p;
  std::string_view rest = path.size() >= 7 ? path.substr(7) : std::string_view();
  size_t slash = rest.find('/');
  if (slash == std::string_view::npos) {
    p.service = std::string(rest);
    p.service_path = "/";
  } else {
    p.service = std::string(rest.substr(0, slash));
    p.service_path = std::string(rest.substr(slash));
  }
  return p;
}

Status refuse_relay_call(ByteStream& conn, uint16_t status, uint16_t port, const std::string& service,
                         const std::string& message, const std::string& method, const std::string& service_path) {
  std::string p = std::to_string(port);
  std::string who = port != 0 ? "VM :" + p : "an unknown address";
  std::string text = "Credential relay refused " + who + ": " + service + " " + method + " " +
                     take_chars(service_path, 300) + " \u2014 " + message;
  // The audit rows are written before the agent hears of the refusal.
  emit_console_signal("vm-" + p, "relay_refused", "high", text, "fleet-vm-" + p, "relay");
  return relay_error_reply(conn, status, "relay refused: " + message);
}

Status relay_request(const HttpRequest& req, ByteStream& conn) {
  const uint16_t port = vm_port_from_ip(req.peer);
  const RelayPath path = split_relay_path(req.path);
  auto refuse = [&](uint16_t status, const std::string& message) {
    return refuse_relay_call(conn, status, port, path.service, message, req.method, path.service_path);
  };

  // The record is read afresh for every call: a stopped VM's token dies
  // with its file.
  if (port == 0) return refuse(401, kBadToken);
  auto record = read_json_file(relay_record_path(port));
  if (!record || !token_matches(req, *record)) return refuse(401, kBadToken);

  const RelayGrant grant = grant_from(*record);
  const std::string origin = graph_origin();
  auto target = relay_rule(path.service, path.service_path, req.method, grant, origin);
  if (!target) return refuse(403, target.message());

  const std::string secret = relay_credential(path.service);
  if (secret.empty()) return refuse(503, kNoCredential);

  if (target->next_page_item) {
    auto checked = graph_folder_check(origin, *target->next_page_item, graph_text(grant.upstream, "drive"),
                                      graph_text(grant.upstream, "root"), secret);
    if (!checked) return refuse(403, checked.message());
  }

  UpstreamCall call{req, target->url, target->header, target->prefix, secret};
  return relay_exchange(conn, port, path.service, path.service_path, call);
}

}  // namespace drovix::host
