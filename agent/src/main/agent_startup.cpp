#include "agent/src/main/agent_startup.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <thread>

#include "agent/src/main/certs_files.hpp"
#include "agent/src/main/console_line.hpp"
#include "agent/src/main/hooks.hpp"
#include "agent/src/main/http_helpers.hpp"
#include "agent/src/main/keyring.hpp"
#include "agent/src/main/sealed_blob.hpp"
#include "common/fs.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr const char* kAnthropicHost = "api.anthropic.com";
constexpr const char* kDefaultGateway = "10.0.9.1";
// A client that stops sending or reading cannot hold its thread for ever.
constexpr int kConnRecvTimeoutMs = 60'000;
constexpr int kConnSendTimeoutMs = 120'000;

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string(fallback);
}

std::optional<std::string> env_nonempty(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

std::optional<SJson> certs_json(const char* name) {
  auto text = read_text_file(certs_file(name));
  if (!text) return std::nullopt;
  return parse_json<SJson>(*text);
}

std::optional<std::string> certs_bytes(const char* name) {
  auto bytes = read_file(certs_file(name));
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

// The string under key; nothing for a missing key or another JSON type.
std::optional<std::string> string_at(const SJson& obj, const char* key) {
  if (!obj.is_object()) return std::nullopt;
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<bool> bool_at(const SJson& obj, const char* key) {
  if (!obj.is_object()) return std::nullopt;
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

// A non-negative JSON integer.
std::optional<uint64_t> count_at(const SJson& obj, const char* key) {
  if (!obj.is_object()) return std::nullopt;
  auto it = obj.find(key);
  if (it == obj.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() >= 0) return static_cast<uint64_t>(it->get<int64_t>());
  return std::nullopt;
}

const char* yes_no(bool b) { return b ? "true" : "false"; }

std::string trim_slashes(std::string s) {
  size_t a = s.find_first_not_of('/');
  if (a == std::string::npos) return {};
  size_t b = s.find_last_not_of('/');
  return s.substr(a, b - a + 1);
}

void add_builtin_entries(Keyring& kr, const LineSink& print) {
  auto add = [&](const char* id, std::string host, std::string ip, const char* header, std::string prefix,
                 std::string path, std::string secret) {
    KeyringEntry e;
    e.host = std::move(host);
    e.ip = std::move(ip);
    e.header = header;
    e.prefix = std::move(prefix);
    e.path = std::move(path);
    e.secret = std::move(secret);
    keyring_insert(kr, id, std::move(e));
  };

  if (auto api_ip = env_nonempty("API_IP")) {
    auto key = read_text_file(certs_file("anthropic.key"));
    if (!key) key = env_nonempty("ANTHROPIC_API_KEY");
    if (key) add("anthropic", kAnthropicHost, *api_ip, "x-api-key", "", "/", *key);
  }
  if (auto bedrock = certs_json("bedrock.json")) {
    auto region = string_at(*bedrock, "region"), ip = string_at(*bedrock, "ip");
    auto model = string_at(*bedrock, "model"), key = string_at(*bedrock, "key");
    if (region && ip && model && key)
      add("bedrock", "bedrock-runtime." + *region + ".amazonaws.com", *ip, "authorization", "Bearer ",
          "/model/" + *model, *key);
  }
  if (auto priv = certs_json("private.json")) {
    auto host = string_at(*priv, "host"), ip = string_at(*priv, "ip"), key = string_at(*priv, "key");
    if (host && ip && key) add("private", *host, *ip, "x-api-key", "", "/", *key);
  }
  if (auto token = read_text_file(certs_file("mcp.token"))) {
    std::string gateway = env_nonempty("UMBRIX_GATEWAY").value_or(kDefaultGateway);
    auto host = env_nonempty("DROVIX_HOST");
    if (!host) print("DROVIX_HOST not set: the gateway's certificate can't be checked");
    for (const char* id : {"telemetry", "statesink"})
      add(id, host.value_or(""), gateway, "authorization", "Bearer ", "/", *token);
  }
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out = "[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += ",";
    out += "\"" + names[i] + "\"";
  }
  return out + "]";
}

// The opened session archive, when session.pass and session.blob are both
// there and open.
std::optional<SJson> open_session_archive() {
  auto pass = read_text_file(certs_file("session.pass"));
  auto blob = certs_bytes("session.blob");
  if (!pass || !blob) return std::nullopt;
  auto opened = open_sealed_blob(*blob, *pass);
  if (!opened) return std::nullopt;
  return std::move(*opened);
}

std::optional<ResumedSession> resumed_from(const SJson& archive) {
  ResumedSession r;
  r.name = string_at(archive, "name").value_or("prior session");
  auto transcript = string_at(archive, "transcript");
  if (transcript && !trim_unicode(utf8_lossy(*transcript)).empty()) {
    r.transcript = *transcript;
    return r;
  }
  std::string joined;
  bool first = true;
  if (archive.is_object()) {
    auto docs = archive.find("docs");
    if (docs != archive.end() && docs->is_array()) {
      for (const auto& doc : *docs) {
        auto text = string_at(doc, "text");
        if (!text) continue;
        if (!first) joined += "\n\n";
        joined += *text;
        first = false;
      }
    }
  }
  if (trim_unicode(utf8_lossy(joined)).empty()) return std::nullopt;
  r.transcript = std::move(joined);
  return r;
}

bool is_private_key_label(const std::string& label) {
  return label == "PRIVATE KEY" || label == "RSA PRIVATE KEY" || label == "EC PRIVATE KEY";
}

std::variant<TlsContext, StartupFailure> tls_configuration(const std::string& cert_path, const std::string& key_path) {
  auto cert_text = read_file(cert_path);
  if (!cert_text) return StartupFailure{"open cert", cert_text.message()};
  auto chain = pem_certs(*cert_text);
  if (!chain) return StartupFailure{"cert der", cert_path + ": " + chain.message()};

  int fd = ::open(key_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return StartupFailure{"open key", errno_text(key_path)};
  ::close(fd);
  auto key_text = read_file(key_path);
  if (!key_text) return StartupFailure{"read key", key_text.message()};
  auto sections = read_pem_sections(*key_text, false);
  if (!sections) return StartupFailure{"read key", key_path + ": " + sections.message()};
  bool has_key = false;
  for (const auto& s : *sections) has_key = has_key || is_private_key_label(s.label);
  if (!has_key) return StartupFailure{"a key", key_path + ": no private key found"};

  auto ctx = tls_server_context(cert_path, key_path);
  if (!ctx) return StartupFailure{"single cert", ctx.message()};
  return *ctx;
}

void connection_thread(TlsContext tls, Socket sock, AgentContext ctx) {
  (void)set_recv_timeout(sock, kConnRecvTimeoutMs);
  (void)set_send_timeout(sock, kConnSendTimeoutMs);
  (void)set_nodelay(sock);
  auto conn = TlsStream::accept(sock, tls);
  if (!conn) return;
  (void)handle_connection(**conn, ctx);
  (void)(*conn)->finish();
  // The TLS session goes first, then the socket.
  conn->reset();
}

}  // namespace

uint16_t parse_port(const char* value) {
  if (!value) return kDefaultPort;
  std::string_view v(value);
  if (!v.empty() && v.front() == '+') v.remove_prefix(1);
  if (v.empty() || v.size() > 5) return kDefaultPort;
  uint32_t n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return kDefaultPort;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  return n > 65535 ? kDefaultPort : static_cast<uint16_t>(n);
}

AgentRole appliance_role_from(const SJson& appliance) {
  AgentRole role;
  auto task = string_at(appliance, "task");
  if (string_at(appliance, "role") == std::optional<std::string>("child") && task &&
      !trim_unicode(utf8_lossy(*task)).empty()) {
    role.child = AgentRole::Child{string_at(appliance, "child_name").value_or(""), *task};
  } else {
    uint64_t n = count_at(appliance, "subagents").value_or(0);
    role.subagents = n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(n);
  }
  role.share_workspace = bool_at(appliance, "share_workspace").value_or(false);
  role.research = string_at(appliance, "subagent_profile") == std::optional<std::string>("research");
  return role;
}

uint64_t workspace_text_budget(uint64_t workspace_mb) { return workspace_mb * 1048576 * 55 / 100; }

WorkspaceLaunch workspace_launch_settings(const SJson& appliance) {
  WorkspaceLaunch w;
  w.mb = count_at(appliance, "workspace_mb").value_or(0);
  w.folder = trim_slashes(trim_unicode(utf8_lossy(string_at(appliance, "workspace_folder").value_or(""))));
  return w;
}

std::optional<std::string> staging_folder(const std::string& folder, const std::string& root) {
  if (folder.empty()) return std::nullopt;
  if (root.empty()) return folder;
  if (folder == root) return std::string();
  if (starts_with(folder, root + "/")) return folder.substr(root.size() + 1);
  return std::nullopt;
}

std::variant<AgentServer, StartupFailure> agent_start(const LineSink& print) {
  // 1. Where to listen and with which certificate.
  std::string cert_path = env_or("TLS_CERT", "/certs/fullchain.pem");
  std::string key_path = env_or("TLS_KEY", "/certs/privkey.pem");
  uint16_t port = parse_port(std::getenv("PORT"));
  print("WEB start; cert=" + cert_path + " port=" + std::to_string(port));

  // 2-3. The keyring: built-in services, then those the host provided.
  auto keyring = std::make_shared<Keyring>();
  add_builtin_entries(*keyring, print);
  load_creds(*keyring);
  print("keyring: services=" + quoted_list(list_service_ids(*keyring)) +
        " tools=" + yes_no(keyring_has_connectors(*keyring)));

  // 4. The knowledge corpus is part of the workspace support; until then
  // every agent starts with an empty one.
  print("corpus: 0 docs, 0 chunks");

  // 5. Launch settings.
  auto setup = std::make_shared<AgentSetup>();
  std::string archive;
  const std::optional<SJson> appliance = certs_json("appliance.json");
  if (appliance) {
    setup->audit = bool_at(*appliance, "audit").value_or(true);
    setup->onedrive = string_at(*appliance, "onedrive").value_or("rw");
    archive = string_at(*appliance, "archive").value_or("");
    setup->mode = string_at(*appliance, "mode").value_or("new");
    setup->ephemeral = bool_at(*appliance, "ephemeral").value_or(false);
    const SJson* hooks = nullptr;
    if (appliance->is_object()) {
      auto it = appliance->find("hooks");
      if (it != appliance->end()) hooks = &*it;
    }
    hook_switches(hooks);
  }

  // 6. Resume from the sealed archive of an earlier session.
  std::optional<SJson> opened_archive;
  if (setup->mode == "resume" || archive.empty()) {
    opened_archive = open_session_archive();
    if (opened_archive) setup->resumed = resumed_from(*opened_archive);
  }

  // 7.
  print(std::string("config: audit=") + yes_no(setup->audit) + " onedrive=" + setup->onedrive +
        " archive=" + archive + " mode=" + setup->mode + " ephemeral=" + yes_no(setup->ephemeral) +
        " resume=" + yes_no(setup->resumed.has_value()));

  // 8. The conversation state.
  auto session = std::make_shared<SharedSession>();
  session->state.archive = archive;

  // 9. Skills.
  setup->skills = read_text_file(certs_file("skills.md"));
  print(std::string("skills: ") + (setup->skills ? "loaded" : "none"));

  // 10. A parent's workspace hand-off.
  std::optional<SJson> handoff = certs_json("parent_ws.json");

  // 11. The manifest the session starts from.
  setup->prior_manifest = SJson::array();
  if (setup->resumed) {
    if (opened_archive->is_object() && opened_archive->contains("manifest"))
      setup->prior_manifest = (*opened_archive)["manifest"];
  } else if (handoff && handoff->is_object() && handoff->contains("manifest") && (*handoff)["manifest"].is_array()) {
    setup->prior_manifest = (*handoff)["manifest"];
  }

  // 12-13. The workspace. The in-memory workspace, the hand-off's notes and
  // files and the boot staging thread come with the workspace support;
  // until then an agent runs without a workspace, whatever
  // workspace_launch_settings asks for.

  // 14. Role.
  setup->role = appliance_role_from(appliance.value_or(SJson()));
  if (setup->role.child)
    print("sub-agent: '" + setup->role.child->child_name + "' (runs its task at boot)");
  else
    print("sub-agents: up to " + std::to_string(setup->role.subagents));

  // 16. TLS.
  auto tls = tls_configuration(cert_path, key_path);
  if (auto* failure = std::get_if<StartupFailure>(&tls)) return *failure;

  // 17. The listener.
  auto listener = tcp_listen("0.0.0.0:" + std::to_string(port));
  if (!listener) return StartupFailure{"bind", listener.message()};
  print("WEB LISTENING on 0.0.0.0:" + std::to_string(port));

  AgentServer server;
  server.ctx = AgentContext{std::move(keyring), std::move(setup), std::move(session)};
  server.tls = std::get<TlsContext>(std::move(tls));
  server.listener = std::move(*listener);
  server.port = port;
  // 18. A child's task runner starts here once sub-agents are part of this
  // build.
  return server;
}

void serve_forever(AgentServer server) {
  for (;;) {
    auto sock = tcp_accept(server.listener);
    if (!sock) {
      // Out of descriptors or memory: give the open connections a moment.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    try {
      std::thread(connection_thread, server.tls, std::move(*sock), server.ctx).detach();
    } catch (const std::system_error&) {
      // No thread for this connection: it is closed, the server stays up.
    }
  }
}

int agent_main() {
  ::signal(SIGPIPE, SIG_IGN);
  auto started = agent_start([](const std::string& line) { console_line(line); });
  if (auto* failure = std::get_if<StartupFailure>(&started)) {
    std::string msg = "fatal: " + failure->step + ": " + failure->detail + "\n";
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    std::fflush(stderr);
    return 1;
  }
  serve_forever(std::get<AgentServer>(std::move(started)));
}

}  // namespace drovix::agent
