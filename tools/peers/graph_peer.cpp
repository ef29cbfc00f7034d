#include "tools/peers/graph_peer.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "common/crypto.hpp"
#include "common/encoding.hpp"
#include "common/text.hpp"
#include "tools/peers/model_peer.hpp"

namespace peers {

using drovix::Error;
using drovix::Result;
using nlohmann::json;

namespace {

constexpr int kSocketTimeoutMs = 20000;
constexpr const char* kAssertionType = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";

struct RawRequest {
  std::string request_line;
  Headers headers;
  std::string body;
};

std::string header_of(const Headers& headers, const std::string& name) {
  for (const auto& [n, v] : headers)
    if (drovix::iequals_ascii(n, name)) return v;
  return {};
}

Result<RawRequest> read_request(drovix::ByteStream& s) {
  std::string raw;
  char buf[4096];
  size_t head_end;
  while ((head_end = raw.find("\r\n\r\n")) == std::string::npos) {
    auto r = s.read_some(buf, sizeof buf);
    if (!r) return r.error();
    if (*r == 0) return Error("closed before the request head ended");
    raw.append(buf, *r);
  }
  RawRequest req;
  std::string_view head = std::string_view(raw).substr(0, head_end);
  size_t eol = head.find("\r\n");
  req.request_line = std::string(head.substr(0, eol));
  while (eol != std::string_view::npos) {
    head.remove_prefix(eol + 2);
    eol = head.find("\r\n");
    std::string_view line = head.substr(0, eol);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    req.headers.emplace_back(std::string(drovix::trim_ascii(line.substr(0, colon))),
                             std::string(drovix::trim_ascii(line.substr(colon + 1))));
  }
  std::string cl = header_of(req.headers, "content-length");
  size_t want = head_end + 4 + (cl.empty() ? 0 : std::stoul(cl));
  while (raw.size() < want) {
    auto r = s.read_some(buf, sizeof buf);
    if (!r) return r.error();
    if (*r == 0) return Error("closed inside the request body");
    raw.append(buf, *r);
  }
  req.body = raw.substr(head_end + 4, want - head_end - 4);
  return req;
}

// Form decoding: "+" is a blank, then percent escapes.
std::string form_decode(std::string_view s) {
  std::string plus(s);
  for (char& c : plus)
    if (c == '+') c = ' ';
  return drovix::percent_decode(plus);
}

// Form fields in order.
std::vector<std::pair<std::string, std::string>> parse_form(std::string_view body) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!body.empty()) {
    size_t amp = body.find('&');
    std::string_view pair = body.substr(0, amp);
    size_t eq = pair.find('=');
    out.emplace_back(form_decode(pair.substr(0, eq)),
                     eq == std::string_view::npos ? std::string() : form_decode(pair.substr(eq + 1)));
    if (amp == std::string_view::npos) break;
    body.remove_prefix(amp + 1);
  }
  return out;
}

std::string field(const std::vector<std::pair<std::string, std::string>>& form, const std::string& name) {
  for (const auto& [n, v] : form)
    if (n == name) return v;
  return {};
}

// URL-safe base64 without padding, as JWTs use it; nothing otherwise.
std::optional<std::string> b64url_strict(std::string_view s) {
  for (char c : s)
    if (c == '=' || c == '+' || c == '/') return std::nullopt;
  return drovix::base64_decode(s);
}

bool is_uuid_v4(const std::string& s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return s[14] == '4' && (s[19] == '8' || s[19] == '9' || s[19] == 'a' || s[19] == 'b');
}

bool verify_rs256(const std::string& cert_der, std::string_view input, const std::string& sig) {
  const auto* p = reinterpret_cast<const unsigned char*>(cert_der.data());
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(cert_der.size()));
  if (!cert) return false;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  bool ok = key && md && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA &&
            EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestVerify(md, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                             reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1;
  EVP_MD_CTX_free(md);
  X509_free(cert);
  ERR_clear_error();
  return ok;
}

// A refusal shaped like the identity platform's, its description several
// lines long.
std::string refusal(int status, const std::string& error, int code, const std::string& text) {
  json body = {{"error", error},
               {"error_description", "AADSTS" + std::to_string(code) + ": " + text +
                                         "\r\nTrace ID: 5e1c2a30-7d4f-4c55-9a1e-2f6b1f0c4d00"
                                         "\r\nCorrelation ID: 0b7f3b4e-9c1d-4f3a-8e2b-6a5d4c3b2a10"
                                         "\r\nTimestamp: 2024-01-01 00:00:00Z"},
               {"error_codes", json::array({code})},
               {"trace_id", "5e1c2a30-7d4f-4c55-9a1e-2f6b1f0c4d00"}};
  return http_response(status, "application/json; charset=utf-8", body.dump());
}

std::string graph_error(int status, const std::string& code, const std::string& message) {
  json body = {{"error", {{"code", code}, {"message", message}, {"innerError", {{"request-id", "0"}}}}}};
  return http_response(status, "application/json", body.dump());
}

std::string path_of(const std::string& target) { return target.substr(0, target.find('?')); }

GraphPeer::Route route_of(const std::string& method, const std::string& target) {
  std::string path = path_of(target);
  if (method == "POST" && drovix::ends_with(path, "/oauth2/v2.0/token")) return GraphPeer::Route::Token;
  if (drovix::starts_with(path, "/v1.0/sites/") && drovix::ends_with(path, "/drive")) return GraphPeer::Route::Drive;
  if (drovix::starts_with(path, "/v1.0/sites/")) return GraphPeer::Route::Site;
  if (drovix::starts_with(path, "/v1.0/drives/") && drovix::ends_with(path, "/root/children"))
    return GraphPeer::Route::Children;
  return GraphPeer::Route::Other;
}

}  // namespace

Result<std::unique_ptr<GraphPeer>> GraphPeer::start(const std::string& addr_port, const std::string& tls_cert_file,
                                                    const std::string& tls_key_file) {
  std::unique_ptr<GraphPeer> peer(new GraphPeer());
  auto server = TlsPeerServer::start(addr_port, tls_cert_file, tls_key_file, kSocketTimeoutMs,
                                     [p = peer.get()](drovix::TlsStream& tls) { p->serve(tls); });
  if (!server) return server.error();
  peer->server_ = std::move(*server);
  return peer;
}

GraphPeer::~GraphPeer() {
  {
    std::lock_guard lock(mu_);
    stopping_ = true;
  }
  server_.reset();
}

void GraphPeer::set_app(const std::string& tenant, const std::string& client_id, const std::string& cert_pem) {
  auto sections = drovix::read_pem_sections(cert_pem, true);
  std::string der;
  if (sections)
    for (const auto& s : *sections)
      if (s.label == "CERTIFICATE") {
        der = s.der;
        break;
      }
  std::lock_guard lock(mu_);
  tenant_ = tenant;
  client_id_ = client_id;
  app_cert_der_ = der;
}

void GraphPeer::set_site(const std::string& site_id, const std::string& display_name, const std::string& drive_id,
                         const std::string& drive_name) {
  std::lock_guard lock(mu_);
  site_id_ = site_id;
  site_name_ = display_name;
  drive_id_ = drive_id;
  drive_name_ = drive_name;
}

void GraphPeer::set_children(json items) {
  std::lock_guard lock(mu_);
  children_ = std::move(items);
}

void GraphPeer::script(Route route, Scripted reply) {
  std::lock_guard lock(mu_);
  scripts_[route].push_back(std::move(reply));
}

void GraphPeer::revoke_tokens() {
  std::lock_guard lock(mu_);
  valid_tokens_.clear();
}

void GraphPeer::reset() {
  std::lock_guard lock(mu_);
  scripts_.clear();
  requests_.clear();
  valid_tokens_.clear();
  issued_.clear();
  assertions_.clear();
}

void GraphPeer::clear_requests() {
  std::lock_guard lock(mu_);
  requests_.clear();
}

std::vector<GraphPeer::Seen> GraphPeer::requests() const {
  std::lock_guard lock(mu_);
  return requests_;
}

std::vector<GraphPeer::Seen> GraphPeer::requests(Route route) const {
  std::lock_guard lock(mu_);
  std::vector<Seen> out;
  for (const auto& r : requests_)
    if (r.route == route) out.push_back(r);
  return out;
}

std::vector<std::string> GraphPeer::issued_tokens() const {
  std::lock_guard lock(mu_);
  return issued_;
}

std::vector<GraphPeer::Assertion> GraphPeer::assertions() const {
  std::lock_guard lock(mu_);
  return assertions_;
}

void GraphPeer::serve(drovix::TlsStream& tls) {
  auto raw = read_request(tls);
  if (!raw) return;

  Seen seen;
  size_t sp1 = raw->request_line.find(' ');
  size_t sp2 = raw->request_line.find(' ', sp1 == std::string::npos ? sp1 : sp1 + 1);
  seen.method = raw->request_line.substr(0, sp1);
  if (sp1 != std::string::npos) seen.target = raw->request_line.substr(sp1 + 1, sp2 - sp1 - 1);
  seen.route = route_of(seen.method, seen.target);
  seen.authorization = header_of(raw->headers, "authorization");
  seen.content_type = header_of(raw->headers, "content-type");
  seen.body = raw->body;

  std::optional<Scripted> scripted;
  {
    std::lock_guard lock(mu_);
    requests_.push_back(seen);
    auto it = scripts_.find(seen.route);
    if (it != scripts_.end() && !it->second.empty()) {
      scripted = std::move(it->second.front());
      it->second.pop_front();
    }
  }
  if (scripted && scripted->drop) return;
  std::string reply = scripted ? http_response(scripted->status, "application/json", scripted->body)
                               : answer(seen, raw->headers);
  if (tls.write_all(reply)) (void)tls.finish();
}

std::string GraphPeer::answer(const Seen& req, const Headers& headers) {
  if (req.route == Route::Token) return token_answer(req, header_of(headers, "host"));
  return graph_answer(req);
}

std::string GraphPeer::token_answer(const Seen& req, const std::string& host_header) {
  std::lock_guard lock(mu_);
  const std::string path = path_of(req.target);
  if (path != "/" + tenant_ + "/oauth2/v2.0/token")
    return refusal(400, "invalid_request", 90002, "Tenant '" + path + "' not found.");
  auto form = parse_form(req.body);
  if (field(form, "grant_type") != "client_credentials")
    return refusal(400, "unsupported_grant_type", 70003, "The app requested an unsupported grant type.");
  if (field(form, "client_id") != client_id_)
    return refusal(400, "unauthorized_client", 700016,
                   "Application with identifier '" + field(form, "client_id") + "' was not found in the directory.");
  if (!drovix::ends_with(field(form, "scope"), "/.default"))
    return refusal(400, "invalid_scope", 1002012, "The provided value for scope is not valid.");
  if (field(form, "client_assertion_type") != kAssertionType)
    return refusal(400, "invalid_request", 70002, "The client assertion type is not supported.");

  const std::string jwt = field(form, "client_assertion");
  size_t d1 = jwt.find('.');
  size_t d2 = d1 == std::string::npos ? d1 : jwt.find('.', d1 + 1);
  if (d2 == std::string::npos || jwt.find('.', d2 + 1) != std::string::npos)
    return refusal(400, "invalid_request", 50027, "JWT token is invalid or malformed.");
  auto head_text = b64url_strict(std::string_view(jwt).substr(0, d1));
  auto claims_text = b64url_strict(std::string_view(jwt).substr(d1 + 1, d2 - d1 - 1));
  auto sig = b64url_strict(std::string_view(jwt).substr(d2 + 1));
  json head = head_text ? json::parse(*head_text, nullptr, false) : json();
  json claims = claims_text ? json::parse(*claims_text, nullptr, false) : json();
  if (!sig || !head.is_object() || !claims.is_object())
    return refusal(400, "invalid_request", 50027, "JWT token is invalid or malformed.");
  if (head.value("alg", "") != "RS256" || head.value("typ", "") != "JWT")
    return refusal(400, "invalid_request", 5002738, "Invalid JWT token. Unsupported signing algorithm.");

  if (head.value("x5t", "") != drovix::base64url_encode_nopad(drovix::sha1(app_cert_der_)))
    return refusal(401, "invalid_client", 700027,
                   "The certificate with identifier used to sign the client assertion is not registered on application.");
  if (!verify_rs256(app_cert_der_, std::string_view(jwt).substr(0, d2), *sig))
    return refusal(401, "invalid_client", 700027, "Client assertion failed signature validation.");

  const std::string token_url = "https://" + host_header + path;
  if (!claims.contains("aud") || claims["aud"] != token_url)
    return refusal(401, "invalid_client", 50013, "Assertion audience claim does not match the required value.");
  if (!claims.contains("iss") || claims["iss"] != client_id_ || !claims.contains("sub") || claims["sub"] != client_id_)
    return refusal(401, "invalid_client", 700023, "Client assertion issuer or subject does not match the client.");
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch()).count();
  if (!claims.contains("nbf") || !claims["nbf"].is_number_integer() || !claims.contains("exp") ||
      !claims["exp"].is_number_integer())
    return refusal(401, "invalid_client", 700024, "Client assertion is missing its validity times.");
  int64_t nbf = claims["nbf"].get<int64_t>(), exp = claims["exp"].get<int64_t>();
  if (exp - nbf != 600 || nbf > now + 300 || exp <= now)
    return refusal(401, "invalid_client", 700024, "Client assertion is not within its valid time range.");
  std::string jti = claims.value("jti", "");
  if (!is_uuid_v4(jti)) return refusal(401, "invalid_client", 700025, "Client assertion jti is not a UUID.");
  if (!seen_jti_.insert(jti).second)
    return refusal(401, "invalid_client", 700025, "Client assertion jti has been used before.");

  assertions_.push_back(Assertion{*head_text, *claims_text, claims});
  std::string token = "graph-token-" + std::to_string(next_token_++);
  valid_tokens_.insert(token);
  issued_.push_back(token);
  json body = {{"token_type", "Bearer"}, {"expires_in", 3599}, {"ext_expires_in", 3599}, {"access_token", token}};
  return http_response(200, "application/json; charset=utf-8", body.dump());
}

std::string GraphPeer::graph_answer(const Seen& req) {
  std::lock_guard lock(mu_);
  const std::string bearer = "Bearer ";
  if (!drovix::starts_with(req.authorization, bearer) ||
      valid_tokens_.count(req.authorization.substr(bearer.size())) == 0)
    return graph_error(401, "InvalidAuthenticationToken", "Access token validation failure. Invalid audience.");
  if (req.method != "GET") return graph_error(405, "BadRequest", "Only reads are served here.");
  const std::string path = path_of(req.target);
  switch (req.route) {
    case Route::Site:
      if (path == "/v1.0/sites/" + site_id_) {
        json body = {{"@odata.context", "https://graph.microsoft.com/v1.0/$metadata#sites(displayName,webUrl)/$entity"}};
        if (!site_name_.empty()) body["displayName"] = site_name_;
        body["webUrl"] = "https://contoso.sharepoint.com/sites/finance";
        return http_response(200, "application/json", body.dump());
      }
      break;
    case Route::Drive:
      if (path == "/v1.0/sites/" + site_id_ + "/drive") {
        json body = {{"@odata.context", "https://graph.microsoft.com/v1.0/$metadata#drives(id,name,webUrl)/$entity"}};
        if (!drive_id_.empty()) body["id"] = drive_id_;
        body["name"] = drive_name_;
        body["webUrl"] = "https://contoso.sharepoint.com/sites/finance/Shared%20Documents";
        return http_response(200, "application/json", body.dump());
      }
      break;
    case Route::Children:
      if (!drive_id_.empty() && path == "/v1.0/drives/" + drive_id_ + "/root/children") {
        json body = {{"@odata.context", "https://graph.microsoft.com/v1.0/$metadata#Collection(driveItem)"},
                     {"value", children_}};
        return http_response(200, "application/json", body.dump());
      }
      break;
    default:
      break;
  }
  return graph_error(404, "itemNotFound", "The resource could not be found.");
}

}  // namespace peers
