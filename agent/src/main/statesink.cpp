#include "agent/src/main/statesink.hpp"

#include <mutex>
#include <vector>

#include "agent/src/main/http_client.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr const char* kExportGrant = "sharepoint:export";

std::string trim_end(std::string s) {
  std::string t = trim_unicode(s);
  if (t.empty()) return t;
  // trim_unicode trims both ends; keep the original start.
  size_t start = s.find(t);
  return s.substr(0, start + t.size());
}

// The manifest the archive carries: the workspace's own source files, or,
// when it has none (or there is no workspace), the manifest the session
// started from.
SJson choose_manifest(const AgentSetup& setup) {
  // A workspace's entries come first once workspaces are wired in; until
  // then every session has the manifest it started from.
  return setup.prior_manifest;
}

std::string lower_text(const SJson& obj, const char* key) {
  if (!obj.is_object()) return {};
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return {};
  return to_lower_unicode(it->get_ref<const std::string&>());
}

bool mentions_export(const std::string& lowered) { return lowered.find(kExportGrant) != std::string::npos; }

}  // namespace

std::optional<ManifestEntry> manifest_file_entry(const std::string& path, const std::string& src, uint64_t size,
                                                 const std::string& fp, const std::string& kind) {
  if (starts_with(src, "agent:") || starts_with(src, "derived:")) return std::nullopt;
  return ManifestEntry{fp, kind, path, size, src};
}

SJson manifest_entry_json(const ManifestEntry& e) {
  SJson j = SJson::object();
  j["fp"] = e.fp;
  j["kind"] = e.kind;
  j["path"] = e.path;
  j["size"] = e.size;
  j["src"] = e.src;
  return j;
}

std::string session_transcript(const AgentSetup& setup, SharedSession& session) {
  std::vector<std::string> parts;
  {
    std::lock_guard lock(session.state_mu);
    const SessionState& st = session.state;
    if (!st.summary.empty())
      parts.push_back("=== SUMMARY OF EARLIER CONVERSATION (compacted) ===\n" + trim_unicode(st.summary) +
                      "\n=== END SUMMARY ===");
    if (setup.resumed && !st.resume_folded) parts.push_back(trim_end(setup.resumed->transcript));
    for (size_t i = st.summary_upto; i < st.turns.size(); ++i)
      parts.push_back("User: " + st.turns[i].user + "\n\nAssistant: " + st.turns[i].assistant);
  }
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += "\n\n";
    out += parts[i];
  }
  return out;
}

Result<SavedArchive> statesink_save(const Keyring& kr, const AgentSetup& setup, SharedSession& session,
                                    const std::string& name, bool create_only) {
  std::string transcript = session_transcript(setup, session);
  if (trim_unicode(utf8_lossy(transcript)).empty()) return Error("nothing to save yet");
  SJson manifest = choose_manifest(setup);

  auto ep = keyring_endpoint(kr, "statesink");
  if (!ep) return Error("state sink not connected");
  SJson body = SJson::object();
  body["create_only"] = create_only;
  body["manifest"] = std::move(manifest);
  body["name"] = name;
  body["transcript"] = std::move(transcript);
  std::string text = to_compact(body);

  auto conn = gateway_connect(ep->ip, ep->host);
  if (!conn) return conn.error();
  if (auto err = keyring_request_head(kr, "statesink", ep->host, "POST /v1/snapshots/save HTTP/1.1",
                                      {{"content-type", "application/json"}}, text, **conn))
    return Error(err->text());
  auto reply = http_exchange(std::move(*conn));
  if (!reply) return reply.error();
  SJson doc = parse_json<SJson>(reply->body).value_or(SJson());
  auto text_of = [&](const char* key) -> std::optional<std::string> {
    if (!doc.is_object()) return std::nullopt;
    auto it = doc.find(key);
    if (it == doc.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
  };
  if (reply->status >= 200 && reply->status <= 299)
    return SavedArchive{text_of("name").value_or(""), text_of("timestamp").value_or("")};
  if (auto err = text_of("error")) return Error(*err);
  return Error("archive gateway HTTP " + std::to_string(reply->status));
}

bool grants_allow_export(const SJson& reply) {
  if (!reply.is_object()) return false;
  auto grants = reply.find("grants");
  if (grants == reply.end() || !grants->is_array()) return false;
  for (const auto& grant : *grants) {
    if (mentions_export(lower_text(grant, "label"))) return true;
    if (!grant.is_object()) continue;
    auto scope = grant.find("scope");
    if (scope == grant.end() || !scope->is_array()) continue;
    for (const auto& entry : *scope) {
      if (mentions_export(lower_text(entry, "value")) || mentions_export(lower_text(entry, "label"))) return true;
    }
  }
  return false;
}

bool fetch_grants(const Keyring& kr) {
  auto ep = keyring_endpoint(kr, "telemetry");
  if (!ep) return false;
  auto conn = gateway_connect(ep->ip, ep->host);
  if (!conn) return false;
  if (keyring_request_head(kr, "telemetry", ep->host, "GET /v1/grants/snapshot HTTP/1.1",
                           {{"accept", "application/json"}}, "", **conn))
    return false;
  auto reply = http_exchange(std::move(*conn));
  if (!reply || reply->status < 200 || reply->status > 299) return false;
  auto doc = parse_json<SJson>(reply->body);
  return doc && grants_allow_export(*doc);
}

}  // namespace drovix::agent
