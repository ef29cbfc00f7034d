#include "host/src/sp/app_token.hpp"

#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>

#include "common/crypto.hpp"
#include "common/encoding.hpp"
#include "common/fs.hpp"
#include "common/json.hpp"
#include "common/text.hpp"
#include "host/src/http/outbound.hpp"
#include "host/src/main/config.hpp"

namespace drovix::host {

namespace {

constexpr auto kTokenTimeout = std::chrono::seconds(20);
constexpr int64_t kAssertionLifetime = 600;
constexpr size_t kRefusalChars = 200;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Length in bytes of a Unicode White_Space character at the start of s, or
// 0 when s does not start with one.
size_t white_space_len(std::string_view s) {
  auto u = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  if (s.empty()) return 0;
  unsigned char c = u(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && s.size() >= 2 && (u(1) == 0x85 || u(1) == 0xA0)) return 2;
  if (s.size() < 3) return 0;
  if (c == 0xE1 && u(1) == 0x9A && u(2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && u(1) == 0x80 && ((u(2) >= 0x80 && u(2) <= 0x8A) || u(2) == 0xA8 || u(2) == 0xA9 || u(2) == 0xAF))
    return 3;                                                // U+2000..200A, U+2028, U+2029, U+202F
  if (c == 0xE2 && u(1) == 0x81 && u(2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && u(1) == 0x80 && u(2) == 0x80) return 3;  // U+3000
  return 0;
}

int std_b64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 only: padding required, no bits left over in the last
// character.
std::optional<std::string> strict_base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t pad = 0;
  while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=') ++pad;
  std::string_view body = text.substr(0, text.size() - pad);
  for (char c : body)
    if (std_b64_value(c) < 0) return std::nullopt;
  if (pad > 0) {
    int last = std_b64_value(body.back());
    if ((pad == 2 && (last & 0x0F) != 0) || (pad == 1 && (last & 0x03) != 0)) return std::nullopt;
  }
  return base64_decode(text);
}

std::string openssl_reason(const char* fallback) {
  unsigned long e = ERR_peek_last_error();
  const char* r = e ? ERR_reason_error_string(e) : nullptr;
  std::string out = r ? r : fallback;
  ERR_clear_error();
  return out;
}

Result<Pkey> load_pkcs8_rsa(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size()));
  if (!info) return Error("key: " + openssl_reason("not a PKCS#8 private key"));
  Pkey key(EVP_PKCS82PKEY(info));
  PKCS8_PRIV_KEY_INFO_free(info);
  if (!key) return Error("key: " + openssl_reason("unreadable PKCS#8 private key"));
  if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) return Error("key: not an RSA key");
  return key;
}

Result<Pkey> load_pkcs1_rsa(const std::string& der) {
  EVP_PKEY* raw = nullptr;
  OSSL_DECODER_CTX* dctx =
      OSSL_DECODER_CTX_new_for_pkey(&raw, "DER", "type-specific", "RSA", EVP_PKEY_KEYPAIR, nullptr, nullptr);
  if (!dctx) return Error("key: " + openssl_reason("no RSA key decoder"));
  const auto* data = reinterpret_cast<const unsigned char*>(der.data());
  size_t len = der.size();
  int ok = OSSL_DECODER_from_data(dctx, &data, &len);
  OSSL_DECODER_CTX_free(dctx);
  Pkey key(raw);
  if (ok != 1 || !key) return Error("key: " + openssl_reason("not a PKCS#1 RSA private key"));
  return key;
}

Result<std::string> rs256_sign(EVP_PKEY* key, std::string_view input) {
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  if (!md) return Error("signing failed");
  std::string sig;
  size_t len = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  bool ok = EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestSign(md, nullptr, &len, data, input.size()) == 1;
  if (ok) {
    sig.resize(len);
    ok = EVP_DigestSign(md, reinterpret_cast<unsigned char*>(sig.data()), &len, data, input.size()) == 1;
    sig.resize(len);
  }
  EVP_MD_CTX_free(md);
  ERR_clear_error();
  if (!ok) return Error("signing failed");
  return sig;
}


// The file as text; the system's reason when it cannot be read.
Result<std::string> read_text_file(const std::string& path) {
  auto bytes = read_file(path);
  if (!bytes) {
    // The reader names the path itself; callers name it their own way.
    std::string why = bytes.message();
    if (starts_with(why, path + ": ")) why.erase(0, path.size() + 2);
    return Error(why);
  }
  if (!is_valid_utf8(*bytes)) return Error("not valid UTF-8 text");
  return std::move(*bytes);
}

std::string first_line(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> read_pem_block(std::string_view pem, std::string_view label) {
  std::string begin = "-----BEGIN " + std::string(label) + "-----";
  size_t start = pem.find(begin);
  if (start == std::string_view::npos) return std::nullopt;
  start += begin.size();
  size_t end = pem.find("-----END", start);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view inner = pem.substr(start, end - start);
  std::string b64;
  b64.reserve(inner.size());
  while (!inner.empty()) {
    size_t ws = white_space_len(inner);
    if (ws) {
      inner.remove_prefix(ws);
    } else {
      b64 += inner.front();
      inner.remove_prefix(1);
    }
  }
  return strict_base64_decode(b64);
}

Result<std::string> graph_app_token() {
  const HostConfig& cfg = host_config();

  auto cert_text = read_text_file(cfg.sharepoint_cert);
  if (!cert_text) return Error("certificate " + cfg.sharepoint_cert + ": " + cert_text.message());
  auto cert_der = read_pem_block(*cert_text, "CERTIFICATE");
  if (!cert_der) return Error("certificate: no PEM block");

  auto key_text = read_text_file(cfg.sharepoint_key);
  if (!key_text) return Error("key " + cfg.sharepoint_key + ": " + key_text.message());
  Result<Pkey> key = Error("key: no PEM block");
  if (auto der = read_pem_block(*key_text, "PRIVATE KEY")) {
    key = load_pkcs8_rsa(*der);
  } else if (auto der1 = read_pem_block(*key_text, "RSA PRIVATE KEY")) {
    key = load_pkcs1_rsa(*der1);
  }
  if (!key) return key.error();

  const std::string url = "https://" + cfg.login_host + "/" + cfg.entra_tenant + "/oauth2/v2.0/token";
  const int64_t now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();

  OJson header = OJson::object();
  header["alg"] = "RS256";
  header["typ"] = "JWT";
  header["x5t"] = base64url_encode_nopad(sha1(*cert_der));
  OJson claims = OJson::object();
  claims["aud"] = url;
  claims["iss"] = cfg.entra_client;
  claims["sub"] = cfg.entra_client;
  claims["jti"] = uuid_v4();
  claims["nbf"] = now;
  claims["exp"] = now + kAssertionLifetime;

  std::string signing_input = base64url_encode_nopad(to_compact(header)) + "." + base64url_encode_nopad(to_compact(claims));
  auto sig = rs256_sign(key->get(), signing_input);
  if (!sig) return sig.error();
  std::string assertion = signing_input + "." + base64url_encode_nopad(*sig);

  const std::pair<const char*, std::string> fields[] = {
      {"client_id", cfg.entra_client},
      {"scope", "https://" + cfg.graph_host + "/.default"},
      {"grant_type", "client_credentials"},
      {"client_assertion", assertion},
      {"client_assertion_type", "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"},
  };
  std::string form;
  for (const auto& [name, value] : fields) {
    if (!form.empty()) form += '&';
    form += form_urlencode(name) + "=" + form_urlencode(value);
  }

  OutboundRequest req;
  req.method = "POST";
  req.url = url;
  req.headers = {{"content-type", "application/x-www-form-urlencoded"}};
  req.body = std::move(form);
  req.timeout = kTokenTimeout;
  auto outcome = read_http_outcome(http_agent().send(req));
  if (!outcome) return outcome.error();

  OJson reply = parse_json<OJson>(outcome->text).value_or(OJson());
  if (outcome->status == 200) {
    if (reply.is_object()) {
      auto it = reply.find("access_token");
      if (it != reply.end() && it->is_string()) return it->get<std::string>();
    }
    return Error("token response without access_token");
  }
  std::string reason = "HTTP " + std::to_string(outcome->status);
  if (reply.is_object()) {
    auto it = reply.find("error_description");
    if (it != reply.end() && it->is_string() && !it->get_ref<const std::string&>().empty())
      reason = first_line(it->get<std::string>());
  }
  return Error("token refused: " + take_chars(reason, kRefusalChars));
}

}  // namespace drovix::host
