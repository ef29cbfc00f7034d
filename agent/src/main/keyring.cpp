#include "agent/src/main/keyring.hpp"

#include <mutex>

#include "agent/src/main/certs_files.hpp"
#include "common/fs.hpp"
#include "common/json.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

// Secrets shorter than this are too likely to occur by chance to search for.
constexpr size_t kGuardedSecretMin = 16;

bool is_connector(const std::string& id) { return id == "onedrive" || starts_with(id, "mcp:"); }

void normalise(KeyringEntry& e) {
  if (e.path.empty()) e.path = "/";
  while (!e.relay.empty() && e.relay.back() == '/') e.relay.pop_back();
}

bool holds_secret(std::string_view text, const std::string& secret) {
  return text.size() >= secret.size() && text.find(secret) != std::string_view::npos;
}

const std::string* nonempty_string(const SJson& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return nullptr;
  const auto& s = it->get_ref<const std::string&>();
  return s.empty() ? nullptr : &s;
}

}  // namespace

std::string KeyringError::text() const {
  switch (kind) {
    case UnknownService:
      return "no such service '" + service + "'";
    case HostMismatch:
      return "credential '" + service + "' may only be sent to " + entry_host + ", not " + requested_host;
    case EgressBlocked:
      return egress_blocked_message;
    case Io:
      break;
  }
  return "io: " + io;
}

void keyring_insert(Keyring& kr, const std::string& id, KeyringEntry entry) {
  normalise(entry);
  std::unique_lock lock(kr.mu);
  kr.entries[id] = std::move(entry);
}

void keyring_drop_connectors(Keyring& kr) {
  std::erase_if(kr.entries, [](const auto& kv) { return is_connector(kv.first); });
}

bool keyring_has_connectors(const Keyring& kr) {
  std::shared_lock lock(kr.mu);
  for (const auto& [id, e] : kr.entries)
    if (is_connector(id)) return true;
  return false;
}

std::vector<std::string> list_service_ids(const Keyring& kr) {
  std::shared_lock lock(kr.mu);
  std::vector<std::string> ids;
  ids.reserve(kr.entries.size());
  for (const auto& [id, e] : kr.entries) ids.push_back(id);  // std::map: already in byte order
  return ids;
}

bool keyring_contains(const Keyring& kr, const std::string& id) {
  std::shared_lock lock(kr.mu);
  return kr.entries.count(id) != 0;
}

std::optional<ServiceEndpoint> keyring_endpoint(const Keyring& kr, const std::string& id) {
  std::shared_lock lock(kr.mu);
  auto it = kr.entries.find(id);
  if (it == kr.entries.end()) return std::nullopt;
  return ServiceEndpoint{it->second.host, it->second.ip};
}

std::string keyring_path(const Keyring& kr, const std::string& id) {
  std::shared_lock lock(kr.mu);
  auto it = kr.entries.find(id);
  return it == kr.entries.end() ? std::string("/") : it->second.path;
}

void load_creds(Keyring& kr) { load_creds_from(kr, certs_file("creds.json")); }

void load_creds_from(Keyring& kr, const std::string& path) {
  // The new connector set is built first and swapped in under one write
  // lock, so a request made during a reload finds either the old or the new
  // services, never none.
  std::vector<std::pair<std::string, KeyringEntry>> fresh;
  if (auto text = read_text_file(path)) {
    auto doc = parse_json<SJson>(*text);
    if (doc && doc->is_array()) {
      for (const auto& el : *doc) {
        if (!el.is_object()) continue;
        const std::string* id = nonempty_string(el, "service_id");
        const std::string* host = nonempty_string(el, "host");
        const std::string* ip = nonempty_string(el, "ip");
        const std::string* secret = nonempty_string(el, "secret");
        if (!id || !host || !ip || !secret) continue;
        KeyringEntry e;
        e.host = *host;
        e.ip = *ip;
        e.secret = *secret;
        const std::string* header = nonempty_string(el, "header");
        e.header = header ? *header : "authorization";
        auto pre = el.find("prefix");
        if (pre == el.end())
          e.prefix = "Bearer ";
        else if (pre->is_string())
          e.prefix = pre->get<std::string>();
        const std::string* p = nonempty_string(el, "path");
        e.path = p ? *p : "/";
        auto relay = el.find("relay");
        if (relay != el.end() && relay->is_string()) e.relay = relay->get<std::string>();
        normalise(e);
        fresh.emplace_back(*id, std::move(e));
      }
    }
  }
  std::unique_lock lock(kr.mu);
  keyring_drop_connectors(kr);
  for (auto& [id, e] : fresh) kr.entries[id] = std::move(e);  // a later element replaces an earlier one
}

std::optional<KeyringError> keyring_request_head(const Keyring& kr, const std::string& service,
                                                 const std::string& host, std::string_view request_line,
                                                 const HeaderPairs& headers, std::string_view body,
                                                 ByteStream& out) {
  std::shared_lock lock(kr.mu);
  auto it = kr.entries.find(service);
  if (it == kr.entries.end()) {
    KeyringError err;
    err.kind = KeyringError::UnknownService;
    err.service = service;
    return err;
  }
  const KeyringEntry& entry = it->second;
  if (!iequals_ascii(host, entry.host)) {
    KeyringError err;
    err.kind = KeyringError::HostMismatch;
    err.service = service;
    err.entry_host = entry.host;
    err.requested_host = host;
    return err;
  }

  // Egress guard: no stored secret of any service may leave in the content
  // the caller wrote. Header names are ours, not searched.
  for (const auto& [id, other] : kr.entries) {
    const std::string& secret = other.secret;
    if (secret.size() < kGuardedSecretMin) continue;
    bool hit = holds_secret(request_line, secret);
    for (size_t i = 0; !hit && i < headers.size(); ++i) hit = holds_secret(headers[i].second, secret);
    if (!hit) hit = holds_secret(body, secret);
    if (hit) {
      KeyringError err;
      err.kind = KeyringError::EgressBlocked;
      return err;
    }
  }

  std::string head;
  head.reserve(256 + request_line.size());
  size_t sp = request_line.find(' ');
  if (!entry.relay.empty() && sp != std::string_view::npos && sp + 1 < request_line.size() &&
      request_line[sp + 1] == '/') {
    head.append(request_line.substr(0, sp));
    head += ' ';
    head += entry.relay;
    head.append(request_line.substr(sp + 1));
  } else {
    head.append(request_line);
  }
  head += "\r\nhost: ";
  head += host;
  head += "\r\n";
  for (const auto& [name, value] : headers) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
  }
  head += "content-length: " + std::to_string(body.size()) + "\r\n";
  head += "connection: close\r\n";
  head += entry.header;
  head += ": ";
  head += entry.prefix;
  head += entry.secret;
  head += "\r\n\r\n";

  Status st = out.write_all(head);
  if (st && !body.empty()) st = out.write_all(body);
  if (!st) {
    KeyringError err;
    err.kind = KeyringError::Io;
    err.io = st.message();
    return err;
  }
  return std::nullopt;
}

}  // namespace drovix::agent
