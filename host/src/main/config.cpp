#include "host/src/main/config.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/fs.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

bool exists_followed(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool regular_file_followed(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> env_value(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::optional<std::string> program_path() {
  std::error_code ec;
  auto p = std::filesystem::canonical("/proc/self/exe", ec);
  if (ec) return std::nullopt;
  return p.string();
}

// A text value of the object, or the fallback when it is missing, of
// another type or empty.
std::string text_or(const OJson& object, const std::string& key, const std::string& fallback) {
  std::string v = json_get_str(object, key);
  return v.empty() ? fallback : v;
}

std::string machine_hostname() {
  if (auto out = run_command({"hostname", "-f"}, 10)) {
    std::string name = trim_unicode(utf8_lossy(out->stdout_bytes));
    if (!name.empty()) return name;
  }
  auto kernel = read_file("/proc/sys/kernel/hostname");
  if (!kernel) return "";
  return trim_unicode(utf8_lossy(*kernel));
}

std::string image_path(const OJson& host, const std::string& home, const std::string& key,
                       const std::string& file) {
  std::string given = json_get_str(host, key);
  if (!given.empty()) return given;
  std::string installed = home + "/bin/" + file;
  if (exists_followed(installed)) return installed;
  // Where a release build from the source tree leaves the image.
  std::string dir = file == "drovix-agent" ? "/build/agent/" : "/build/reader/";
  return home + dir + file;
}

// host.json's object under key when it has one, else the file beside it.
std::optional<OJson> section(const OJson& host, const std::string& key, const std::string& certs,
                             const std::string& file) {
  auto it = host.find(key);
  if (it != host.end() && it->is_object()) return *it;
  return read_config_json(certs + "/" + file);
}

}  // namespace

std::string home_dir_from(const std::optional<std::string>& drovix_home,
                          const std::optional<std::string>& program_path) {
  if (drovix_home && !drovix_home->empty() && is_valid_utf8(*drovix_home)) {
    std::string home = *drovix_home;
    while (!home.empty() && home.back() == '/') home.pop_back();
    return home;
  }
  if (!program_path || program_path->empty()) return "/opt/drovix";
  std::filesystem::path exe(*program_path);
  if (!exe.has_parent_path() || exe.parent_path() == exe) return "/opt/drovix";
  std::filesystem::path dir = exe.parent_path();
  if (dir.filename() == "bin" && dir.has_parent_path()) dir = dir.parent_path();
  return utf8_lossy(dir.string());
}

std::string find_hypervisor(const std::string& home, const std::optional<std::string>& path_env) {
  std::string in_home = home + "/bin/tarvo";
  if (exists_followed(in_home)) return in_home;
  if (path_env && is_valid_utf8(*path_env)) {
    std::string_view rest = *path_env;
    for (;;) {
      size_t colon = rest.find(':');
      std::string candidate = std::string(rest.substr(0, colon)) + "/tarvo";
      if (regular_file_followed(candidate)) return candidate;
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  return home + "/.local/bin/tarvo";
}

std::optional<OJson> read_config_json(const std::string& path) {
  auto bytes = read_file(path);
  if (!bytes) return std::nullopt;
  std::optional<OJson> v;
  if (is_valid_utf8(*bytes)) v = parse_json<OJson>(*bytes);
  if (!v || !v->is_object()) {
    std::printf("[drovix-host] %s unreadable, using defaults\n", path.c_str());
    std::fflush(stdout);
    return std::nullopt;
  }
  return v;
}

uint16_t parse_console_port(const OJson* value) {
  uint64_t port = 0;
  if (value == nullptr) {
    port = 0;
  } else if (value->is_number_unsigned()) {
    port = value->get<uint64_t>();
  } else if (value->is_number_integer()) {
    int64_t v = value->get<int64_t>();
    port = v < 0 ? 0 : static_cast<uint64_t>(v);
  } else if (value->is_string()) {
    std::string text = trim_unicode(value->get<std::string>());
    std::string_view digits = text;
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    if (digits.empty()) return 443;
    for (char c : digits) {
      if (c < '0' || c > '9') return 443;
      port = port * 10 + static_cast<uint64_t>(c - '0');
      if (port > 65535) return 443;
    }
  }
  if (port == 0 || port > 65535) return 443;
  return static_cast<uint16_t>(port);
}

HostConfig load_host_config() {
  HostConfig cfg;
  cfg.home = home_dir_from(env_value("DROVIX_HOME"), program_path());
  cfg.certs = cfg.home + "/fleetcerts";
  OJson host = read_config_json(cfg.certs + "/host.json").value_or(OJson::object());

  cfg.hostname = json_get_str(host, "hostname");
  if (cfg.hostname.empty()) cfg.hostname = machine_hostname();

  cfg.hypervisor = json_get_str(host, "tarvo");
  if (cfg.hypervisor.empty()) cfg.hypervisor = find_hypervisor(cfg.home, env_value("PATH"));
  cfg.agent_bin = image_path(host, cfg.home, "agent_bin", "drovix-agent");
  cfg.reader_bin = image_path(host, cfg.home, "reader_bin", "drovix-reader");
  cfg.sharepoint_cert = text_or(host, "sharepoint_cert", cfg.certs + "/sharepoint-app.crt");
  cfg.sharepoint_key = text_or(host, "sharepoint_key", cfg.certs + "/sharepoint-app.key");

  OJson ch = section(host, "clickhouse", cfg.certs, "clickhouse.json").value_or(OJson::object());
  std::string url = text_or(ch, "url", "http://127.0.0.1:8123/");
  while (!url.empty() && url.back() == '/') url.pop_back();
  cfg.clickhouse.url = url + "/";
  cfg.clickhouse.user = json_get_str(ch, "user");
  cfg.clickhouse.password = json_get_str(ch, "password");
  cfg.clickhouse.desk_password = json_get_str(ch, "desk_password");
  cfg.clickhouse.ca_file = json_get_str(ch, "ca_file");

  if (auto origin = section(host, "origin", cfg.certs, "origin.json")) {
    auto it = origin->find("enabled");
    cfg.origin.enabled = it == origin->end() || json_truthy(*it);
    cfg.origin.tenant_id = text_or(*origin, "tenant_id", "t_demo");
    cfg.origin.host = text_or(*origin, "host", cfg.hostname);
  } else {
    cfg.origin.enabled = false;
    cfg.origin.tenant_id = "t_demo";
    cfg.origin.host = cfg.hostname;
  }

  auto port = host.find("console_port");
  cfg.console_port = parse_console_port(port == host.end() ? nullptr : &*port);
  cfg.entra_tenant = json_get_str(host, "entra_tenant");
  cfg.entra_client = json_get_str(host, "entra_client");
  cfg.sharepoint_site = json_get_str(host, "sharepoint_site");
  cfg.login_host = text_or(host, "login_host", cfg.login_host);
  cfg.graph_host = text_or(host, "graph_host", cfg.graph_host);
  return cfg;
}

const HostConfig& host_config() {
  static const HostConfig config = load_host_config();
  return config;
}

std::string vmstate_dir() { return host_config().home + "/vmstate"; }

std::string relay_record_path(uint16_t port) {
  return host_config().home + "/vmstate/" + std::to_string(port) + "/relay.json";
}

std::string skills_path() { return host_config().home + "/skills.md"; }

}  // namespace drovix::host
