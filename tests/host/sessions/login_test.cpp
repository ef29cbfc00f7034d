// The console router over real HTTPS: the page, login, logout and the
// fleet_sess cookie in front of every other route.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "common/crypto.hpp"
#include "common/encoding.hpp"
#include "common/fs.hpp"
#include "fixture.hpp"
#include "host/src/console/login.hpp"
#include "host/src/console/router.hpp"
#include "host/src/http/listener.hpp"
#include "host/src/http/outbound.hpp"
#include "host/src/http/tls_setup.hpp"
#include "host/src/util/tokens.hpp"
#include "tests/testbed/testbed.hpp"

using drovix::OJson;
using namespace drovix::host;
using namespace sessions_test;

namespace {

struct Reply {
  int status = 0;
  std::string content_type;
  std::string set_cookie;
  std::string body;
};

class ConsoleLogin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto tls = tls_server_config(home().certs + "/fullchain.pem", home().certs + "/privkey.pem");
    ASSERT_TRUE(tls) << tls.message();
    port_ = testbed::free_port();
    auto handler = std::make_shared<const Handler>(route_console_request);
    auto st = spawn_listener("127.0.0.1:" + std::to_string(port_), *tls, 8388608, handler);
    ASSERT_TRUE(st) << st.message();
  }
  void SetUp() override {
    reset_state();
    write_file(home().certs + "/fleet.pass", "  s3cret-pass\n");
  }

  static Reply call(const std::string& method, const std::string& path, const std::string& cookie = "",
                    const std::string& body = "") {
    static HttpClient client(HttpClientOptions{false, 0, home().ca_pem});
    OutboundRequest req;
    req.method = method;
    req.url = "https://127.0.0.1:" + std::to_string(port_) + path;
    if (!cookie.empty()) req.headers.push_back({"Cookie", cookie});
    if (method == "POST") req.body = body;
    req.timeout = std::chrono::seconds(10);
    auto r = client.send(req);
    EXPECT_TRUE(r) << r.message();
    if (!r) return {};
    return Reply{r->status, r->header("content-type").value_or(""), r->header("set-cookie").value_or(""), r->body};
  }
  static std::string login_cookie(const std::string& body) {
    Reply r = call("POST", "/login", "", body);
    EXPECT_EQ(r.status, 200);
    std::string c = r.set_cookie;
    return c.substr(0, c.find(';'));
  }
  static std::string cookie_with(const OJson& claims, const std::string& key) {
    std::string payload = drovix::base64url_encode_nopad(claims.dump());
    return "fleet_sess=" + payload + "." + drovix::base64url_encode_nopad(drovix::hmac_sha256(key, payload));
  }
  static std::string secret() { return drovix::read_file(home().certs + "/fleet.secret").value(); }

  static int port_;
};
int ConsoleLogin::port_ = 0;

TEST_F(ConsoleLogin, PasswordLoginSetsASignedCookie) {
  struct Case {
    const char* body;
    int status;
  } cases[] = {
      {R"({"password":"s3cret-pasz"})", 401},   // right length, wrong byte
      {R"({"password":"s3cret-pass!"})", 401},  // one byte longer
      {R"({"password":" s3cret-pass"})", 401},  // the given password is not trimmed
      {"not json", 401},
      {R"({"username":"ann","password":"s3cret-pass"})", 200},
  };
  for (const auto& c : cases) {
    Reply r = call("POST", "/login", "", c.body);
    EXPECT_EQ(r.status, c.status) << c.body;
    if (c.status == 401) {
      EXPECT_EQ(r.body, R"({"error":"invalid"})");
      EXPECT_EQ(r.set_cookie, "");
    } else {
      EXPECT_EQ(r.body, R"({"ok":true})");
      EXPECT_EQ(r.set_cookie.substr(r.set_cookie.find(';')),
                "; HttpOnly; Secure; SameSite=Lax; Path=/; Max-Age=28800");
    }
  }

  // Without a user name the session belongs to "user", for eight hours.
  std::string cookie = login_cookie(R"({"password":"s3cret-pass"})");
  std::string value = cookie.substr(std::string("fleet_sess=").size());
  std::string payload = value.substr(0, value.find('.'));
  OJson claims = OJson::parse(drovix::base64_decode(payload).value());
  EXPECT_EQ(claims["u"], "user");
  ASSERT_TRUE(claims["exp"].is_number_integer());
  EXPECT_NEAR(claims["exp"].get<int64_t>(), unix_now() + 28800, 5);
  EXPECT_EQ(value.substr(value.find('.') + 1).size(), 43u);

  Reply ok = call("GET", "/api/archives", cookie);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.content_type, "application/json");
  EXPECT_EQ(ok.body, R"({"archives":[]})");
}

TEST_F(ConsoleLogin, ForgedStaleOrForeignCookiesAreRefused) {
  std::string good = login_cookie(R"({"username":"ann","password":"s3cret-pass"})");
  ASSERT_EQ(call("GET", "/api/archives", good).status, 200);

  std::string tampered = good;
  size_t at = std::string("fleet_sess=").size() + 3;
  tampered[at] = tampered[at] == 'A' ? 'B' : 'A';
  const int64_t now = unix_now();
  const std::string refused[] = {
      tampered,
      cookie_with({{"u", "ann"}, {"exp", now}}, secret()),        // expires this second
      cookie_with({{"u", "ann"}, {"exp", now + 600}}, "another secret"),
      cookie_with({{"u", "ann"}, {"exp", "9999999999"}}, secret()),  // exp not a number
      "fleet_sess=" + good.substr(11, good.find('.') - 11),         // no signature
      "fleet_sess =" + good.substr(11),                             // name with a blank
      cookie_with({{"u", "ann"}, {"exp", now - 1}}, secret()) + "; " + good,  // the first piece decides
  };
  for (const auto& c : refused) {
    Reply r = call("GET", "/api/archives", c);
    EXPECT_EQ(r.status, 401) << c;
    EXPECT_EQ(r.body, R"({"error":"auth"})");
  }

  // Other cookies around it and quotes around the value are fine; so is a
  // cookie valid for one more second.
  EXPECT_EQ(call("GET", "/api/archives", "a=1; fleet_sess=\"" + good.substr(11) + "\"; b=2").status, 200);
  EXPECT_EQ(call("GET", "/api/archives", cookie_with({{"u", "ann"}, {"exp", unix_now() + 2}}, secret())).status, 200);
}

TEST_F(ConsoleLogin, EveryRouteButPageLoginAndLogoutNeedsTheCookie) {
  std::string good = login_cookie(R"({"password":"s3cret-pass"})");
  struct Case {
    const char* method;
    const char* path;
    int without;
    int with;
  } cases[] = {
      {"GET", "/", 200, 200},
      {"GET", "/?tab=lake", 200, 200},
      {"GET", "/index.html", 401, 404},
      {"GET", "/api/archives", 401, 200},
      {"GET", "/api/archives/", 401, 404},
      {"GET", "/API/archives", 401, 404},
      {"POST", "/api/stop", 401, 200},
      {"POST", "/api/launch", 401, 200},
      {"POST", "/api/archives", 401, 404},
      {"POST", "/logout", 200, 200},
      {"PUT", "/api/archives", 404, 404},
  };
  for (const auto& c : cases) {
    Reply without = call(c.method, c.path, "", "{}");
    EXPECT_EQ(without.status, c.without) << c.method << " " << c.path;
    Reply with = call(c.method, c.path, good, R"({"port":9})");
    EXPECT_EQ(with.status, c.with) << c.method << " " << c.path;
  }
  Reply page = call("GET", "/");
  EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
  Reply out = call("POST", "/logout");
  EXPECT_EQ(out.body, R"({"ok":true})");
  EXPECT_EQ(out.set_cookie, "fleet_sess=; Max-Age=0; Path=/");

  // Methods other than GET and POST, in any spelling, are not found.
  for (const char* m : {"HEAD", "get", "DELETE"}) {
    HttpRequest req;
    req.method = m;
    req.path = "/";
    HttpResponse r = route_console_request(req);
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, R"({"error":"not found"})");
  }
}

// An empty password file must never let anyone in: it is replaced by a new
// password, logged by path only.
TEST_F(ConsoleLogin, PasswordFileIsMadeWhenMissingOrBlank) {
  const std::string pass = home().certs + "/fleet.pass";
  for (const char* content : {"", " \n\t "}) {
    write_file(pass, content);
    testing::internal::CaptureStdout();
    EXPECT_EQ(call("POST", "/login", "", R"({"password":""})").status, 401);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("[drovix-host] generated login password at " + pass), std::string::npos) << log;
    std::string made = testbed::read_text(pass);
    EXPECT_EQ(made.size(), 12u);
    EXPECT_EQ(log.find(made), std::string::npos);
    EXPECT_EQ(std::filesystem::status(pass).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(call("POST", "/login", "", OJson{{"password", made}}.dump()).status, 200);
  }
  std::filesystem::remove(pass);
  auto made = load_console_password();
  ASSERT_TRUE(made);
  EXPECT_EQ(testbed::read_text(pass), *made);

  // A file that holds something unreadable is kept, and nobody logs in.
  write_file(pass, "\xff\xfe");
  EXPECT_EQ(call("POST", "/login", "", R"({"password":""})").status, 401);
  EXPECT_EQ(call("POST", "/login", "", "{\"password\":\"\\u00ff\"}").status, 401);
  EXPECT_EQ(testbed::read_text(pass), "\xff\xfe");
}

TEST(ConsoleQuery, FormDecodedQueryMap) {
  EXPECT_EQ(parse_query("a=1&&a=2&b").dump(), R"({"a":"2","b":""})");
  EXPECT_EQ(parse_query("q=a+b%2Bc&%41=%zz&x=%ff").dump(), "{\"q\":\"a b+c\",\"A\":\"%zz\",\"x\":\"\xef\xbf\xbd\"}");
  EXPECT_EQ(parse_query("").dump(), "{}");
  EXPECT_EQ(split_route("/?tab=lake"), std::make_pair(std::string("/"), std::string("tab=lake")));
  EXPECT_EQ(body_object("[1]").dump(), "{}");
  EXPECT_EQ(body_object(R"({"a":1} x)").dump(), "{}");
  EXPECT_EQ(body_object(R"( {"a":1} )").dump(), R"({"a":1})");
}

}  // namespace
