#include "host/src/gateway/router.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "fixture.hpp"

using namespace drovix::host;
using drovix::OJson;
using namespace gateway_test;

namespace {

class Router : public ::testing::Test {
 protected:
  void SetUp() override { reset_state(); }
};

HttpRequest with_auth(HttpRequest req, const std::vector<std::pair<std::string, std::string>>& headers) {
  req.headers = headers;
  return req;
}

std::string bearer() { return std::string("Bearer ") + kToken; }

}  // namespace

TEST_F(Router, Authentication) {
  struct Case {
    const char* name;
    HttpRequest req;
    uint16_t status;
    const char* body;
  } cases[] = {
      {"health without credential", request("GET", "/healthz", "", "10.0.9.11", false), 200, R"({"ok":true})"},
      {"health with a wrong credential", with_auth(request("GET", "/healthz"), {{"authorization", "Bearer x"}}), 200,
       R"({"ok":true})"},
      {"health with a query", request("GET", "/healthz?x=1", "", "10.0.9.11", false), 401,
       R"({"error":"unauthorized"})"},
      {"health with a query, authorised", request("GET", "/healthz?x=1"), 404, R"({"error":"not found"})"},
      {"health with a slash", request("GET", "/healthz/", "", "10.0.9.11", false), 401, R"({"error":"unauthorized"})"},
      {"lower-case scheme", with_auth(request("GET", "/x"), {{"authorization", std::string("bearer ") + kToken}}), 401,
       R"({"error":"unauthorized"})"},
      {"two spaces", with_auth(request("GET", "/x"), {{"authorization", std::string("Bearer  ") + kToken}}), 401,
       R"({"error":"unauthorized"})"},
      {"capital header name", with_auth(request("GET", "/x"), {{"AUTHORIZATION", bearer()}}), 404,
       R"({"error":"not found"})"},
      {"first header counts", with_auth(request("GET", "/x"), {{"Authorization", "Bearer no"}, {"authorization", bearer()}}),
       401, R"({"error":"unauthorized"})"},
      {"first header counts, good first",
       with_auth(request("GET", "/x"), {{"authorization", bearer()}, {"authorization", "Bearer no"}}), 404,
       R"({"error":"not found"})"},
      {"token prefix", with_auth(request("GET", "/x"), {{"authorization", bearer().substr(0, 20)}}), 401,
       R"({"error":"unauthorized"})"},
  };
  for (const auto& c : cases) {
    HttpResponse r = route_gateway_request(c.req);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.body, c.body) << c.name;
    EXPECT_STREQ(r.content_type, "application/json");
  }

  // No token file, or an empty one: the gateway stays closed.
  std::filesystem::remove(home().certs + "/mcp.token");
  EXPECT_EQ(route_gateway_request(request("GET", "/v1/grants/snapshot")).status, 401);
  EXPECT_EQ(route_gateway_request(request("GET", "/healthz", "", "", false)).status, 200);
  write_file(home().certs + "/mcp.token", " \n");
  EXPECT_EQ(route_gateway_request(with_auth(request("GET", "/x"), {{"authorization", "Bearer "}})).status, 401);
}

TEST_F(Router, RouteTable) {
  struct Case {
    const char* name;
    HttpRequest req;
    uint16_t status;
    const char* body_start;
  } cases[] = {
      {"snapshot with query", request("GET", "/v1/grants/snapshot?fresh=1"), 200, R"({"generated_at":)"},
      {"snapshot prefix", request("GET", "/v1/grants/snapshots"), 200, R"({"generated_at":)"},
      {"other GET", request("GET", "/v1/events"), 404, R"({"error":"not found"})"},
      {"PUT", request("PUT", "/v1/events", "{}"), 404, R"({"error":"not found"})"},
      {"lower-case post", request("post", "/v1/events", "{}"), 404, R"({"error":"not found"})"},
      {"HEAD", request("HEAD", "/healthz"), 404, R"({"error":"not found"})"},
      {"events", request("POST", "/v1/events", ""), 202, R"({"accepted":0,"signals":0,"hooks":0})"},
      {"events with a slash", request("POST", "/v1/events/", "{}"), 200,
       R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"unknown method ''"}})"},
      {"events with a query", request("POST", "/v1/events?x=1", "{}"), 200, R"({"jsonrpc":"2.0")"},
      {"agents without slash", request("POST", "/v1/agents", "{}"), 200, R"({"jsonrpc":"2.0")"},
      {"session save", request("POST", "/session/save", "{}"), 200, R"({"jsonrpc":"2.0")"},
      {"root", request("POST", "/", R"({"jsonrpc":"2.0","id":"a","method":"ping"})"), 200,
       R"({"jsonrpc":"2.0","id":"a","error":{"code":-32601,"message":"unknown method 'ping'"}})"},
      {"bad json", request("POST", "/v1/events", "{"), 400, R"({"error":"bad json"})"},
      {"agents list, empty body", request("POST", "/v1/agents/list", ""), 200, R"({"agents":[]})"},
      {"agents list, array body", request("POST", "/v1/agents/list", "[1,2]"), 200, R"({"agents":[]})"},
      {"agents, unknown op", request("POST", "/v1/agents/List", "{}"), 404, R"({"error":"not found"})"},
      {"agents, op with slash", request("POST", "/v1/agents/list/", "{}"), 404, R"({"error":"not found"})"},
      {"agents, outside caller", request("POST", "/v1/agents/nothing", "{}", "10.0.9.19"), 403,
       R"({"error":"unknown agent"})"},
      {"agents, below the range", request("POST", "/v1/agents/list", "{}", "10.0.9.10"), 403,
       R"({"error":"unknown agent"})"},
  };
  for (const auto& c : cases) {
    HttpResponse r = route_gateway_request(c.req);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.body;
    EXPECT_EQ(r.body.rfind(c.body_start, 0), 0u) << c.name << ": " << r.body;
  }
}

TEST_F(Router, AgentsBodyLimitComesAfterTheJsonCheck) {
  // A valid JSON text of 8 MiB + 1 byte.
  std::string big = R"({"summary":")" + std::string(8 * 1024 * 1024 + 1 - 14, 'x') + R"("})";
  ASSERT_EQ(big.size(), 8u * 1024 * 1024 + 1);
  HttpResponse r = route_gateway_request(request("POST", "/v1/agents/finished", big));
  EXPECT_EQ(r.status, 413);
  EXPECT_EQ(r.body, R"({"error":"result too large"})");
  EXPECT_EQ(route_gateway_request(request("POST", "/v1/events", big)).status, 202);

  std::string exact = R"({"summary":")" + std::string(8 * 1024 * 1024 - 14, 'x') + R"("})";
  EXPECT_EQ(route_gateway_request(request("POST", "/v1/agents/finished", exact)).body,
            R"({"error":"not a running sub-agent"})");

  std::string broken = big.substr(0, big.size() - 1);
  r = route_gateway_request(request("POST", "/v1/agents/finished", broken + "x"));
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, R"({"error":"bad json"})");
}
