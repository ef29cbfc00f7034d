#pragma once
// The console's password login and its signed session cookie "fleet_sess":
// base64url(compact {"u": user, "exp": unix seconds}), ".", and the
// base64url HMAC-SHA256 of that payload text under the console secret.
#include <cstdint>
#include <optional>
#include <string>

#include "common/json.hpp"
#include "host/src/http/message.hpp"

namespace drovix::host {

// A session lasts eight hours from the login.
inline constexpr int64_t kSessionSeconds = 28800;

// base64url without padding of HMAC-SHA256(console secret, text).
std::string hmac_sign(const std::string& text);
// A fresh cookie value for the user, valid for kSessionSeconds.
std::string mint_session_cookie(const std::string& user);
// The user of a valid, unexpired fleet_sess cookie in the first Cookie
// header; nothing otherwise.
std::optional<std::string> verify_console_session(const HeaderList& headers);

// The trimmed text of "fleet.pass" in the certificate folder. A missing
// file, or one that is empty after trimming, is replaced by a new random
// password (its path is logged, never the password). Nothing when the file
// holds something that cannot be read: every login is then refused.
std::optional<std::string> load_console_password();

// POST /login with the body object {"username", "password"}.
HttpResponse login_reply(const OJson& body);
// POST /logout: asks the browser to drop its cookie.
HttpResponse logout_reply();

}  // namespace drovix::host
