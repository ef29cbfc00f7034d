#include "host/src/console/login.hpp"

#include <sys/stat.h>

#include <cstdio>

#include "common/crypto.hpp"
#include "common/encoding.hpp"
#include "common/text.hpp"
#include "host/src/console/replies.hpp"
#include "host/src/util/console_secret.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

std::string text_of(const OJson& body, const char* key) {
  auto it = body.is_object() ? body.find(key) : body.end();
  return json_to_text(body.is_object() && it != body.end() ? &*it : nullptr);
}

std::string new_password(const std::string& path) {
  std::string password = random_token(9);
  (void)write_private_file(path, password);
  std::printf("[drovix-host] generated login password at %s\n", path.c_str());
  std::fflush(stdout);
  return password;
}

// The value of the first "fleet_sess" piece of the first Cookie header.
std::optional<std::string> session_cookie_value(const HeaderList& headers) {
  const std::string* cookie = nullptr;
  for (const auto& [name, value] : headers) {
    if (iequals_ascii(name, "cookie")) {
      cookie = &value;
      break;
    }
  }
  if (cookie == nullptr) return std::nullopt;
  std::string_view rest = *cookie;
  while (true) {
    size_t semi = rest.find(';');
    std::string piece = trim_unicode(utf8_lossy(rest.substr(0, semi)));
    size_t eq = piece.find('=');
    if (eq != std::string::npos && piece.substr(0, eq) == "fleet_sess") {
      std::string value = piece.substr(eq + 1);
      size_t b = value.find_first_not_of('"');
      if (b == std::string::npos) return std::string();
      size_t e = value.find_last_not_of('"');
      return value.substr(b, e - b + 1);
    }
    if (semi == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(semi + 1);
  }
}

}  // namespace

std::string hmac_sign(const std::string& text) {
  return base64url_encode_nopad(hmac_sha256(console_secret(), text));
}

std::string mint_session_cookie(const std::string& user) {
  OJson claims = OJson::object();
  claims["u"] = user;
  claims["exp"] = unix_now() + kSessionSeconds;
  std::string payload = base64url_encode_nopad(to_compact(claims));
  return payload + "." + hmac_sign(payload);
}

std::optional<std::string> verify_console_session(const HeaderList& headers) {
  auto value = session_cookie_value(headers);
  if (!value) return std::nullopt;
  size_t dot = value->find('.');
  if (dot == std::string::npos) return std::nullopt;
  std::string payload = value->substr(0, dot);
  std::string signature = value->substr(dot + 1);
  if (!constant_time_equal(signature, hmac_sign(payload))) return std::nullopt;

  std::string_view unpadded = payload;
  while (!unpadded.empty() && unpadded.back() == '=') unpadded.remove_suffix(1);
  // Only the URL-safe alphabet belongs in a payload we minted.
  if (unpadded.find_first_of("+/") != std::string_view::npos) return std::nullopt;
  auto decoded = base64_decode(unpadded);
  if (!decoded) return std::nullopt;
  auto claims = parse_json<OJson>(*decoded);
  if (!claims || !claims->is_object()) return std::nullopt;

  double exp = 0;
  if (auto it = claims->find("exp"); it != claims->end() && it->is_number()) exp = it->get<double>();
  if (!(exp > static_cast<double>(unix_now()))) return std::nullopt;
  auto u = claims->find("u");
  return u != claims->end() && u->is_string() ? u->get<std::string>() : std::string("user");
}

std::optional<std::string> load_console_password() {
  std::string path = certdir_path("fleet.pass");
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || st.st_size == 0) return new_password(path);
  auto text = read_text_trimmed(path);
  if (!text) return std::nullopt;
  // Blank space only: as good as no password file; an empty password must
  // never let anyone in.
  if (text->empty()) return new_password(path);
  return text;
}

HttpResponse login_reply(const OJson& body) {
  std::string given = text_of(body, "password");
  auto stored = load_console_password();
  if (!stored || stored->empty() || !constant_time_equal(given, *stored))
    return json_response(401, OJson{{"error", "invalid"}});
  std::string user = text_of(body, "username");
  if (user.empty()) user = "user";
  return with_set_cookie(json_reply(OJson{{"ok", true}}), "fleet_sess=" + mint_session_cookie(user) +
                                                              "; HttpOnly; Secure; SameSite=Lax; Path=/; Max-Age=" +
                                                                  std::to_string(kSessionSeconds));
}

HttpResponse logout_reply() {
  return with_set_cookie(json_reply(OJson{{"ok", true}}), "fleet_sess=; Max-Age=0; Path=/");
}

}  // namespace drovix::host
