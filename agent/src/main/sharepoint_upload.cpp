#include "agent/src/main/sharepoint_upload.hpp"

#include "agent/src/main/drive_paths.hpp"
#include "agent/src/main/settings.hpp"

namespace drovix::agent {

std::optional<std::string> read_web_url(const SJson& reply) {
  if (!reply.is_object()) return std::nullopt;
  auto it = reply.find("webUrl");
  if (it == reply.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

Result<std::string> sharepoint_upload(const Keyring& kr, std::string_view path, std::string_view bytes,
                                      const std::string& content_type) {
  return sharepoint_upload_in(kr, sharepoint_root_config(), path, bytes, content_type, default_connector());
}

Result<std::string> sharepoint_upload_in(const Keyring& kr, std::string_view root, std::string_view path,
                                         std::string_view bytes, const std::string& content_type,
                                         const ServiceConnector& connect) {
  auto endpoint = keyring_endpoint(kr, "onedrive");
  if (!endpoint) return Error("SharePoint not connected");
  auto item = drive_item_path_in(root, path);
  if (!item) return item.error();
  std::string line = "PUT " + *item + "/content HTTP/1.1";

  auto conn = connect(endpoint->ip, endpoint->host);
  if (!conn) return conn.error();
  if (auto err = keyring_request_head(kr, "onedrive", endpoint->host, line, {{"content-type", content_type}},
                                      bytes, **conn))
    return Error(err->text());
  auto reply = http_exchange(std::move(*conn));
  if (!reply) return reply.error();
  if (reply->status < 200 || reply->status > 299)
    return Error("SharePoint save failed (HTTP " + std::to_string(reply->status) + ")");

  std::string msg = "Saved " + sharepoint_root_path_in(root, path) + " to SharePoint.";
  if (auto v = parse_json<SJson>(reply->body))
    if (auto url = read_web_url(*v)) msg += " Link: " + *url;
  return msg;
}

}  // namespace drovix::agent
