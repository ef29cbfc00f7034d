// What each relayed service allows: the launch-time model provider's
// message or invoke calls, and in SharePoint only the launch-time library,
// inside the agent's folder when it has one.
#include <string>
#include <string_view>
#include <vector>

#include "common/encoding.hpp"
#include "common/text.hpp"
#include "host/src/main/config.hpp"
#include "host/src/relay/relay.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

constexpr std::string_view kTemplatePath = "templates/memo.docx";

OJson sub_object(const OJson& upstream, const std::string& service) {
  auto it = upstream.find(service);
  if (it == upstream.end() || !it->is_object()) return OJson::object();
  return *it;
}

std::vector<std::string_view> split_slash(std::string_view s) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t at = s.find('/');
    parts.push_back(s.substr(0, at));
    if (at == std::string_view::npos) break;
    s.remove_prefix(at + 1);
  }
  return parts;
}

bool bad_segment(std::string_view seg) { return seg.empty() || seg == "." || seg == ".."; }

bool has_bad_segment(std::string_view path) {
  for (auto seg : split_slash(path))
    if (bad_segment(seg)) return true;
  return false;
}

bool is_item_id_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '!' || c == '-' ||
         c == '_';
}

constexpr const char* kDotSegments = "'.' and '..' aren't allowed in a path";

// Every segment of the whole item path after the drive, as sent and
// percent-decoded, must be a real name: an empty, "." or ".." segment
// anywhere (also after the ":" that ends a path-addressed item, where a
// URL normaliser or Graph itself would resolve it) could step out of the
// agent's folder or the library. "/root/" alone names the library root.
Status check_whole_path(std::string_view rest) {
  if (rest == "/root/") return ok_status();
  std::string_view body = rest;
  if (!body.empty() && body.front() == '/') body.remove_prefix(1);
  if (has_bad_segment(body)) return Error(kDotSegments);
  std::string decoded = percent_decode(body);
  if (!is_valid_utf8(decoded)) return Error("bad path encoding");
  if (has_bad_segment(decoded)) return Error(kDotSegments);
  return ok_status();
}

enum class GraphCall { Plain, NextPage, Template };

Result<RelayTarget> graph_rule(const std::string& service_path, const std::string& method, const RelayGrant& grant,
                               const std::string& origin) {
  if (grant.onedrive != "ro" && grant.onedrive != "rw") return Error("this agent was launched without SharePoint");
  const OJson graph = sub_object(grant.upstream, "graph");
  const std::string drive = json_get_str(graph, "drive");
  const std::string folder = json_get_str(graph, "root");

  std::string_view full = service_path;
  size_t q = full.find('?');
  std::string_view item_path = full.substr(0, q);
  std::string_view query = q == std::string_view::npos ? std::string_view() : full.substr(q + 1);

  if (drive.empty() || !starts_with(item_path, drive)) return Error("only this library's drive");
  std::string_view rest = item_path.substr(drive.size());

  const std::string outside_folder = "only paths inside the agent's folder '" + folder + "'";
  GraphCall kind = GraphCall::Plain;
  std::optional<std::string> item;
  if (rest.size() >= 16 && starts_with(rest, "/items/") && ends_with(rest, "/children")) {
    std::string_view id = rest.substr(7, rest.size() - 7 - 9);
    bool valid = !id.empty() && query.find("skiptoken=") != std::string_view::npos;
    for (char c : id) valid = valid && is_item_id_char(c);
    if (!valid) return Error("item ids only for the next page of a listing");
    kind = GraphCall::NextPage;
    item = std::string(id);
  } else if (rest.size() < 7) {
    if (!folder.empty()) return Error(outside_folder);
    if (rest != "/root" && rest != "/root/") return Error("only paths in the library");
  } else if (folder.empty()) {
    if (!starts_with(rest, "/root/") && !starts_with(rest, "/root:/")) return Error("only paths in the library");
  } else {
    if (!starts_with(rest, "/root:/")) return Error(outside_folder);
    std::string_view p = rest.substr(7);
    p = p.substr(0, p.find(':'));
    std::string decoded = percent_decode(p);
    if (!is_valid_utf8(decoded)) return Error("bad path encoding");
    if (has_bad_segment(decoded)) return Error(kDotSegments);
    if (decoded == kTemplatePath && rest == "/root:/" + std::string(kTemplatePath) + ":/content") {
      kind = GraphCall::Template;
    } else if (decoded != folder && !starts_with(decoded, folder + "/")) {
      return Error("'" + decoded + "' is outside the agent's folder '" + folder + "'");
    }
  }

  if (auto whole = check_whole_path(rest); !whole) return whole.error();

  if (kind == GraphCall::Plain) {
    if (method == "PUT") {
      if (grant.onedrive != "rw") return Error("this agent is read-only in SharePoint");
    } else if (method != "GET") {
      return Error(method + " isn't a SharePoint call an agent makes");
    }
  } else if (method != "GET") {
    return Error("only reads there");
  }

  // The path goes upstream exactly as it was checked.
  return RelayTarget{origin + service_path, "authorization", "Bearer ", item};
}

}  // namespace

std::string upstream_host(const OJson& upstream, const std::string& service) {
  if (!upstream.is_object()) return "";
  return json_get_str(sub_object(upstream, service), "host");
}

bool is_bedrock_invoke_path(std::string_view rest) {
  return rest == "invoke" || rest == "invoke-with-response-stream";
}

std::string graph_origin() { return "https://" + host_config().graph_host; }

Result<RelayTarget> relay_rule(const std::string& service, const std::string& service_path,
                               const std::string& method, const RelayGrant& grant,
                               const std::string& origin) {
  if (service == "anthropic" || service == "private") {
    if (grant.provider != service)
      return Error("this agent's model server is " + grant.provider + ", not " + service);
    if (method != "POST" || service_path != "/v1/messages") return Error("only POST /v1/messages");
    std::string host = upstream_host(grant.upstream, service);
    if (host.empty()) return Error("no upstream recorded at launch");
    return RelayTarget{"https://" + host + service_path, "x-api-key", "", std::nullopt};
  }
  if (service == "bedrock") {
    if (grant.provider != "bedrock") return Error("this agent's model server is " + grant.provider + ", not bedrock");
    const OJson bedrock = sub_object(grant.upstream, "bedrock");
    const std::string prefix = "/model/" + json_get_str(bedrock, "model") + "/";
    if (method != "POST" || !starts_with(service_path, prefix) ||
        !is_bedrock_invoke_path(std::string_view(service_path).substr(prefix.size())))
      return Error("only the launch-time model's invoke paths");
    return RelayTarget{"https://" + json_get_str(bedrock, "host") + service_path, "authorization", "Bearer ",
                       std::nullopt};
  }
  if (service == "graph") return graph_rule(service_path, method, grant, origin);
  return Error("no such service '" + service + "'");
}

}  // namespace drovix::host
