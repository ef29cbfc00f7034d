#include "host/src/http/outbound.hpp"

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "host/src/http/tls_setup.hpp"
#include "host/src/main/config.hpp"
#include "host/src/main/version.hpp"

namespace drovix::host {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxRedirects = 5;
constexpr long kConnectTimeoutSeconds = 30;
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls13Ciphers = "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kCurves = "X25519:P-256:P-384";

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool is_tchar(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

bool is_token(std::string_view s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (!is_tchar(c)) return false;
  return true;
}

// A header value may not break the request's framing.
bool is_safe_value(std::string_view s) {
  for (char c : s)
    if (c == '\r' || c == '\n' || c == '\0') return false;
  return true;
}

bool has_header(const HeaderList& headers, std::string_view name) {
  for (const auto& [n, v] : headers)
    if (iequals_ascii(n, name)) return true;
  return false;
}

// scheme://host:port of a URL: connections are kept per such origin.
std::string origin_key(const std::string& url) {
  CURLU* u = curl_url();
  if (!u) return {};
  std::string key;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char *scheme = nullptr, *host = nullptr, *port = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
      key = to_lower_ascii(scheme) + "://" + to_lower_ascii(host) + ":" + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(u);
  return key;
}

const char* failure_kind(CURLcode rc) {
  switch (rc) {
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return "Bad URL";
    case CURLE_COULDNT_RESOLVE_HOST:
      return "DNS Failed";
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
      return "Network Error";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      return "TLS Error";
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
      return "Bad Reply";
    default:
      return "Transport Error";
  }
}

std::string one_line(std::string s) {
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// State of one exchange, shared with libcurl's callbacks.
struct Exchange {
  const OutboundRequest* request = nullptr;
  std::string method;  // of the current hop
  int redirects = 0;   // followed so far
  OutboundReply reply;
  bool head_done = false;
  bool follow = false;     // the current reply is a redirect being followed
  bool too_many = false;   // a sixth redirect was asked for
  bool stopped = false;    // the receiver said stop
  bool over_limit = false; // buffered body passed max_body

  void start_hop() {
    reply = OutboundReply{};
    head_done = follow = too_many = stopped = over_limit = false;
  }
};

bool followable(uint16_t status, const std::string& method) {
  switch (status) {
    case 301: case 302: case 303:
      return true;
    case 307: case 308:
      return method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "TRACE";
    default:
      return false;
  }
}

// The caller's streaming hooks run inside libcurl, which must not see an
// exception: one counts as "stop".
template <class F>
bool call_receiver(F&& f) {
  try {
    return f();
  } catch (...) {
    return false;
  }
}

size_t on_header_line(char* data, size_t size, size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  size_t n = size * count;
  // Lines after the final head are trailers of a chunked body: not kept.
  if (ex->head_done) return n;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);

  if (line.substr(0, 5) == "HTTP/") {
    ex->reply.headers.clear();
    ex->reply.reason.clear();
    ex->reply.status = 0;
    size_t sp = line.find(' ');
    if (sp != std::string_view::npos) {
      std::string_view rest = line.substr(sp + 1);
      size_t sp2 = rest.find(' ');
      std::string_view code = rest.substr(0, sp2);
      unsigned v = 0;
      for (char c : code) {
        if (c < '0' || c > '9' || v > 999) { v = 0; break; }
        v = v * 10 + static_cast<unsigned>(c - '0');
      }
      ex->reply.status = static_cast<uint16_t>(v);
      if (sp2 != std::string_view::npos) ex->reply.reason = std::string(rest.substr(sp2 + 1));
    }
    return n;
  }
  if (!line.empty()) {
    size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      ex->reply.headers.emplace_back(std::string(trim_ascii(line.substr(0, colon))),
                                     std::string(trim_ascii(line.substr(colon + 1))));
    }
    return n;
  }
  // End of a head. Interim replies (100 Continue, 103) are passed over.
  if (ex->reply.status >= 100 && ex->reply.status < 200) return n;
  ex->head_done = true;
  auto location = ex->reply.header("location");
  if (location && !location->empty() && followable(ex->reply.status, ex->method)) {
    if (ex->redirects >= kMaxRedirects) {
      ex->too_many = true;
      return 0;
    }
    ex->follow = true;
    return n;
  }
  if (ex->request->on_head && !call_receiver([&] { return ex->request->on_head(ex->reply); })) {
    ex->stopped = true;
    return 0;
  }
  return n;
}

size_t on_body_data(char* data, size_t size, size_t count, void* user) {
  auto* ex = static_cast<Exchange*>(user);
  size_t n = size * count;
  if (ex->follow) return n;  // the body of a redirect is not wanted
  if (ex->request->on_body) {
    if (!call_receiver([&] { return ex->request->on_body(std::string_view(data, n)); })) {
      ex->stopped = true;
      return 0;
    }
    return n;
  }
  if (ex->reply.body.size() + n > ex->request->max_body) {
    ex->over_limit = true;
    ex->reply.body.clear();
    ex->reply.body.shrink_to_fit();
    return 0;
  }
  ex->reply.body.append(data, n);
  return n;
}

struct SlistGuard {
  curl_slist* list = nullptr;
  ~SlistGuard() { clear(); }
  void clear() {
    curl_slist_free_all(list);
    list = nullptr;
  }
  bool add(const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) return false;
    list = next;
    return true;
  }
};

}  // namespace

std::optional<std::string> OutboundReply::header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (iequals_ascii(n, name)) return v;
  return std::nullopt;
}

struct HttpClient::Pool {
  std::mutex mu;
  std::unordered_map<std::string, CURL*> idle;  // origin -> handle holding its connection
  // The trust anchors, parsed once and shared by every TLS connection of
  // this client (parsing the whole public root set per connection costs
  // tens of milliseconds).
  X509_STORE* store = nullptr;
};

namespace {

X509_STORE* build_store(const std::string& pem) {
  X509_STORE* store = X509_STORE_new();
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    X509_STORE_add_cert(store, cert);
    X509_free(cert);
  }
  BIO_free(bio);
  return store;
}

CURLcode use_shared_store(CURL*, void* ssl_ctx, void* store) {
  auto* st = static_cast<X509_STORE*>(store);
  X509_STORE_up_ref(st);
  SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(ssl_ctx), st);
  return CURLE_OK;
}

}  // namespace

HttpClient::HttpClient(HttpClientOptions options) : options_(std::move(options)), pool_(std::make_unique<Pool>()) {
  global_init();
  pool_->store = build_store(options_.ca_pem);
}

HttpClient::~HttpClient() {
  for (auto& [key, h] : pool_->idle) curl_easy_cleanup(h);
  X509_STORE_free(pool_->store);
}

size_t HttpClient::idle_count() const {
  std::lock_guard lock(pool_->mu);
  return pool_->idle.size();
}

Result<OutboundReply> HttpClient::send(const OutboundRequest& request) const {
  const std::string& url0 = request.url;
  if (!is_token(request.method)) return Error(url0 + ": Bad Request: invalid method");
  for (const auto& [n, v] : request.headers) {
    if (!is_token(n) || !is_safe_value(v))
      return Error(url0 + ": Bad Request: invalid header " + (is_token(n) ? n : std::string("name")));
  }

  const bool timed = request.timeout.count() > 0;
  const auto deadline = Clock::now() + request.timeout;

  // A handle that already holds a connection to this origin, if one is idle.
  CURL* h = nullptr;
  if (options_.reuse_connections) {
    std::lock_guard lock(pool_->mu);
    auto it = pool_->idle.find(origin_key(url0));
    if (it != pool_->idle.end()) {
      h = it->second;
      pool_->idle.erase(it);
    }
  }
  if (!h) h = curl_easy_init();
  if (!h) return Error(url0 + ": Transport Error: out of memory");

  Exchange ex;
  ex.request = &request;
  ex.method = request.method;
  std::string url = url0;
  std::optional<std::string> body = request.body;
  HeaderList headers;
  for (const auto& hv : request.headers) {
    // The client frames the body itself.
    if (iequals_ascii(hv.first, "content-length") || iequals_ascii(hv.first, "transfer-encoding")) continue;
    headers.push_back(hv);
  }
  const std::string user_agent = std::string("drovix-host/") + kVersion;

  // Both outlive every use the handle makes of them.
  char errbuf[CURL_ERROR_SIZE];
  SlistGuard lines;
  std::optional<Error> failure;
  for (;;) {
    ex.start_hop();
    long timeout_ms = 0;
    if (timed) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        failure = Error(ErrorKind::TimedOut, url + ": Network Error: operation timed out");
        break;
      }
      timeout_ms = static_cast<long>(left);
    }

    curl_easy_reset(h);
    lines.clear();
    errbuf[0] = '\0';
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    if (timed) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);  // redirects are followed below
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_3));
    curl_easy_setopt(h, CURLOPT_SSL_CIPHER_LIST, kTls12Ciphers);
    curl_easy_setopt(h, CURLOPT_TLS13_CIPHERS, kTls13Ciphers);
    curl_easy_setopt(h, CURLOPT_SSL_EC_CURVES, kCurves);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    // Only the given anchors: neither the system bundle nor its folder.
    curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, use_shared_store);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, pool_->store);
    curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent.c_str());
    if (options_.reuse_connections) {
      curl_easy_setopt(h, CURLOPT_MAXCONNECTS, 1L);
    } else {
      curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
      curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header_line);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &ex);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body_data);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &ex);

    if (ex.method == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (body) {
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->data());
      if (ex.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, ex.method.c_str());
    } else {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      if (ex.method != "GET") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, ex.method.c_str());
    }

    bool built = true;
    for (const auto& [n, v] : headers) built = built && lines.add(v.empty() ? n + ";" : n + ": " + v);
    // libcurl's own additions that the caller did not ask for.
    if (!has_header(headers, "expect")) built = built && lines.add("Expect:");
    if (!has_header(headers, "accept")) built = built && lines.add("Accept:");
    if (!has_header(headers, "content-type")) built = built && lines.add("Content-Type:");
    if (!built) {
      failure = Error(url + ": Transport Error: out of memory");
      break;
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, lines.list);

    CURLcode rc = curl_easy_perform(h);

    if (ex.too_many) {
      failure = Error(url0 + ": Too Many Redirects: more than 5 redirects");
      break;
    }
    if (ex.follow) {
      char* next = nullptr;
      curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &next);
      if (!next || !*next) {
        failure = Error(url + ": Bad Reply: unusable redirect location");
        break;
      }
      uint16_t status = ex.reply.status;
      url = next;
      ++ex.redirects;
      if (status <= 303 && ex.method != "GET" && ex.method != "HEAD") {
        ex.method = "GET";
        body.reset();
      }
      // Credentials and cookies stay with the origin they were meant for.
      std::erase_if(headers, [](const auto& hv) {
        return iequals_ascii(hv.first, "authorization") || iequals_ascii(hv.first, "cookie");
      });
      continue;
    }
    if (!ex.head_done) {
      std::string what = errbuf[0] ? one_line(errbuf) : curl_easy_strerror(rc);
      ErrorKind kind = rc == CURLE_OPERATION_TIMEDOUT ? ErrorKind::TimedOut
                       : rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CONNECT_ERROR ? ErrorKind::Tls
                       : rc == CURLE_OK ? ErrorKind::Other
                                        : ErrorKind::Io;
      if (rc == CURLE_OK) what = "no reply";
      // The operating system's own word for it (e.g. "Connection refused").
      long os_errno = 0;
      curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &os_errno);
      if (os_errno != 0) {
        std::string sys = std::strerror(static_cast<int>(os_errno));
        if (what.find(sys) == std::string::npos) what += " (" + sys + ")";
      }
      failure = Error(kind, url + ": " + failure_kind(rc) + ": " + what);
      break;
    }
    if (rc != CURLE_OK) {
      if (ex.stopped) {
        ex.reply.body_error = "stopped by the receiver";
      } else if (ex.over_limit) {
        ex.reply.body_error = "reply body larger than " + std::to_string(request.max_body) + " bytes";
      } else {
        ex.reply.body_error = errbuf[0] ? one_line(errbuf) : curl_easy_strerror(rc);
      }
    }
    break;
  }

  // Forget the per-call options (callbacks, buffers) before the handle
  // outlives this call or is closed.
  curl_easy_reset(h);
  if (failure) {
    curl_easy_cleanup(h);
    return *failure;
  }

  ex.reply.url = url;
  // Keep the handle, and with it its connection, when its origin has no idle
  // connection yet and the pool has room; otherwise close it.
  bool kept = false;
  if (options_.reuse_connections && ex.reply.body_error.empty()) {
    std::string key = origin_key(url);
    std::lock_guard lock(pool_->mu);
    if (!key.empty() && pool_->idle.size() < options_.max_idle && !pool_->idle.count(key)) {
      pool_->idle.emplace(std::move(key), h);
      kept = true;
    }
  }
  if (!kept) curl_easy_cleanup(h);
  return std::move(ex.reply);
}

bool clickhouse_needs_own_client(const std::string& url, const std::string& ca_file) {
  return url.compare(0, 6, "https:") == 0 && !ca_file.empty();
}

const HttpClient& http_agent() {
  static const HttpClient* client = new HttpClient(HttpClientOptions{true, 100, tls_client_roots()});
  return *client;
}

const HttpClient& relay_agent() {
  static const HttpClient* client = new HttpClient(HttpClientOptions{false, 0, tls_client_roots()});
  return *client;
}

const HttpClient& clickhouse_agent() {
  static const HttpClient* client = [] {
    const ClickHouseSettings& ch = host_config().clickhouse;
    if (clickhouse_needs_own_client(ch.url, ch.ca_file))
      return static_cast<const HttpClient*>(new HttpClient(HttpClientOptions{true, 100, tls_client_roots_with(ch.ca_file)}));
    return &http_agent();
  }();
  return *client;
}

Result<HttpOutcome> read_http_outcome(const Result<OutboundReply>& result) {
  if (!result.ok()) return result.error();
  const OutboundReply& reply = *result;
  HttpOutcome out;
  out.status = reply.status;
  if (reply.body_error.empty() && reply.body.size() <= kMaxReplyText && is_valid_utf8(reply.body)) out.text = reply.body;
  return out;
}

}  // namespace drovix::host
