#include "host/src/console/router.hpp"
#include "host/src/sp/folders.hpp"

#include <curl/curl.h>

#include <functional>
#include <optional>

#include "common/text.hpp"
#include "host/src/console/archives.hpp"
#include "host/src/console/launch.hpp"
#include "host/src/console/login.hpp"
#include "host/src/console/page.hpp"
#include "host/src/console/replies.hpp"
#include "host/src/console/stop.hpp"

namespace drovix::host {
namespace {

// What a handler gets: the body object (POST), the query map (GET) and the
// signed-in user.
struct RouteCall {
  const OJson& body;
  const OJson& query;
  const std::string& user;
};

struct Route {
  const char* method;
  const char* path;
  std::function<HttpResponse(const RouteCall&)> handler;
};

const std::vector<Route>& routes() {
  static const std::vector<Route> table = {
      {"GET", "/api/archives",
       [](const RouteCall&) { return json_reply(OJson{{"archives", list_archives()}}); }},
      {"GET", "/api/sharepoint/folders", [](const RouteCall&) { return sharepoint_folders_reply(HttpRequest{}); }},
      {"POST", "/api/stop", [](const RouteCall& c) { return stop_request(c.body, c.user); }},
      {"POST", "/api/launch",
       [](const RouteCall& c) { return json_reply(launch_session(c.body, c.user, std::nullopt, std::nullopt)); }},
  };
  return table;
}

HttpResponse not_found() { return json_response(404, OJson{{"error", "not found"}}); }

std::string form_decode(std::string_view text) {
  std::string plus(text);
  for (char& c : plus)
    if (c == '+') c = ' ';
  int len = 0;
  // libcurl ignores the handle argument here.
  char* raw = curl_easy_unescape(nullptr, plus.data(), static_cast<int>(plus.size()), &len);
  if (raw == nullptr) return utf8_lossy(plus);
  std::string out = utf8_lossy(std::string_view(raw, static_cast<size_t>(len)));
  curl_free(raw);
  return out;
}

HttpResponse dispatch(const char* method, const std::string& route, const RouteCall& call) {
  for (const auto& r : routes())
    if (route == r.path && std::string_view(method) == r.method) return r.handler(call);
  return not_found();
}

}  // namespace

std::pair<std::string, std::string> split_route(const std::string& path) {
  size_t q = path.find('?');
  if (q == std::string::npos) return {path, ""};
  return {path.substr(0, q), path.substr(q + 1)};
}

OJson parse_query(const std::string& query) {
  OJson map = OJson::object();
  std::string_view rest = query;
  while (true) {
    size_t amp = rest.find('&');
    std::string_view piece = rest.substr(0, amp);
    if (!piece.empty()) {
      size_t eq = piece.find('=');
      std::string name = form_decode(piece.substr(0, eq));
      std::string value = eq == std::string_view::npos ? "" : form_decode(piece.substr(eq + 1));
      map[name] = value;
    }
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
  return map;
}

OJson body_object(const std::string& body) {
  if (body.empty()) return OJson::object();
  auto v = parse_json<OJson>(body);
  if (v && v->is_object()) return std::move(*v);
  return OJson::object();
}

HttpResponse route_console_request(const HttpRequest& req) {
  auto [route, query_text] = split_route(req.path);
  const OJson query = parse_query(query_text);
  static const std::string no_user;
  static const OJson no_body = OJson::object();

  if (req.method == "GET") {
    if (route == "/") {
      HttpResponse page;
      page.status = 200;
      page.content_type = "text/html; charset=utf-8";
      page.body = console_page();
      return page;
    }
    auto user = verify_console_session(req.headers);
    if (!user) return json_response(401, OJson{{"error", "auth"}});
    return dispatch("GET", route, RouteCall{no_body, query, *user});
  }
  if (req.method == "POST") {
    const OJson body = body_object(req.body);
    if (route == "/login") return login_reply(body);
    if (route == "/logout") return logout_reply();
    auto user = verify_console_session(req.headers);
    if (!user) return json_response(401, OJson{{"error", "auth"}});
    return dispatch("POST", route, RouteCall{body, query, *user});
  }
  return not_found();
}

}  // namespace drovix::host
