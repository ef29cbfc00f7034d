#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "host/src/relay/relay.hpp"

namespace drovix::host {
namespace {

constexpr const char* kOrigin = "https://graph.test";
const std::string D = "/v1.0/drives/d1";

OJson upstream(const std::string& folder, const std::string& drive = D) {
  return {{"anthropic", {{"host", "api.anthropic.test"}}},
          {"private", {{"host", "llm.test:8443"}}},
          {"bedrock", {{"host", "bedrock.test"}, {"model", "m"}}},
          {"graph", {{"drive", drive}, {"root", folder}}}};
}

RelayGrant grant(const std::string& provider, const std::string& onedrive = "none", OJson up = upstream("A")) {
  return RelayGrant{provider, onedrive, std::move(up)};
}

struct Case {
  std::string service, path, method;
  RelayGrant grant;
  // Allowed: the url, header and prefix (and item of a next page).
  // Refused: the message in `refusal`.
  std::string url, header, prefix;
  std::optional<std::string> item;
  std::string refusal;
};

Case allow(std::string service, std::string path, std::string method, RelayGrant g, std::string url,
           std::string header, std::string prefix, std::optional<std::string> item = std::nullopt) {
  return Case{std::move(service), std::move(path), std::move(method), std::move(g), std::move(url),
              std::move(header),  std::move(prefix), std::move(item), ""};
}
Case refuse(std::string service, std::string path, std::string method, RelayGrant g, std::string message) {
  return Case{std::move(service), std::move(path), std::move(method), std::move(g), "", "", "", std::nullopt,
              std::move(message)};
}
Case graph_ok(std::string path, std::string method, RelayGrant g, std::optional<std::string> item = std::nullopt) {
  std::string url = kOrigin + path;
  return allow("graph", std::move(path), std::move(method), std::move(g), url, "authorization", "Bearer ", item);
}
Case graph_no(std::string path, std::string method, RelayGrant g, std::string message) {
  return refuse("graph", std::move(path), std::move(method), std::move(g), std::move(message));
}

void run(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.service + " " + c.path);
    auto got = relay_rule(c.service, c.path, c.method, c.grant, kOrigin);
    if (!c.refusal.empty()) {
      ASSERT_FALSE(got.ok()) << got->url;
      EXPECT_EQ(got.message(), c.refusal);
      continue;
    }
    ASSERT_TRUE(got.ok()) << got.message();
    EXPECT_EQ(got->url, c.url);
    EXPECT_EQ(got->header, c.header);
    EXPECT_EQ(got->prefix, c.prefix);
    EXPECT_EQ(got->next_page_item, c.item);
  }
}

TEST(RelayRules, ModelServices) {
  const std::string anthropic_url = "https://api.anthropic.test/v1/messages";
  const std::string only_invoke = "only the launch-time model's invoke paths";
  run({
      allow("anthropic", "/v1/messages", "POST", grant("anthropic"), anthropic_url, "x-api-key", ""),
      refuse("anthropic", "/v1/messages", "POST", grant("bedrock"), "this agent's model server is bedrock, not anthropic"),
      refuse("anthropic", "/v1/messages", "POST", grant(""), "this agent's model server is , not anthropic"),
      refuse("anthropic", "/v1/messages?beta=true", "POST", grant("anthropic"), "only POST /v1/messages"),
      refuse("anthropic", "/v1/messages", "GET", grant("anthropic"), "only POST /v1/messages"),
      refuse("anthropic", "/v1/messages", "post", grant("anthropic"), "only POST /v1/messages"),
      refuse("anthropic", "/", "POST", grant("anthropic"), "only POST /v1/messages"),
      refuse("anthropic", "/v1/messages", "POST", grant("anthropic", "none", OJson::object()),
             "no upstream recorded at launch"),
      refuse("anthropic", "/v1/messages", "POST", grant("anthropic", "none", {{"anthropic", {{"host", 5}}}}),
             "no upstream recorded at launch"),
      allow("private", "/v1/messages", "POST", grant("private"), "https://llm.test:8443/v1/messages", "x-api-key", ""),
      refuse("private", "/v1/messages", "POST", grant("anthropic"), "this agent's model server is anthropic, not private"),
      allow("bedrock", "/model/m/invoke", "POST", grant("bedrock"), "https://bedrock.test/model/m/invoke",
            "authorization", "Bearer "),
      allow("bedrock", "/model/m/invoke-with-response-stream", "POST", grant("bedrock"),
            "https://bedrock.test/model/m/invoke-with-response-stream", "authorization", "Bearer "),
      refuse("bedrock", "/model/m/converse", "POST", grant("bedrock"), only_invoke),
      refuse("bedrock", "/model/other/invoke", "POST", grant("bedrock"), only_invoke),
      refuse("bedrock", "/model/m/invoke?x=1", "POST", grant("bedrock"), only_invoke),
      refuse("bedrock", "/model/m/invoke", "GET", grant("bedrock"), only_invoke),
      refuse("bedrock", "/model/m/invoke", "POST", grant("anthropic"), "this agent's model server is anthropic, not bedrock"),
      // An empty recorded host is used as it is; the call then fails upstream.
      allow("bedrock", "/model/m/invoke", "POST", grant("bedrock", "none", {{"bedrock", {{"model", "m"}}}}),
            "https:///model/m/invoke", "authorization", "Bearer "),
      refuse("Anthropic", "/v1/messages", "POST", grant("anthropic"), "no such service 'Anthropic'"),
      refuse("", "/", "GET", grant("anthropic"), "no such service ''"),
  });
}

TEST(RelayRules, GraphWithAFolder) {
  const RelayGrant ro = grant("anthropic", "ro"), rw = grant("anthropic", "rw");
  const std::string dots = "'.' and '..' aren't allowed in a path";
  const std::string inside = "only paths inside the agent's folder 'A'";
  run({
      graph_ok(D + "/root:/A:/children", "GET", ro),
      graph_ok(D + "/root:/A/b.docx:/content", "GET", ro),
      graph_ok(D + "/root:/A/sub%20dir/b.docx:/content?x=1", "GET", ro),
      graph_ok(D + "/root:/A/x.docx:/content", "PUT", rw),
      graph_no(D + "/root:/A/x.docx:/content", "PUT", ro, "this agent is read-only in SharePoint"),
      graph_no(D + "/root:/A/x", "DELETE", rw, "DELETE isn't a SharePoint call an agent makes"),
      graph_no(D + "/root:/AB/x", "GET", ro, "'AB/x' is outside the agent's folder 'A'"),
      graph_no(D + "/root:/B%2Fx:/content", "GET", ro, "'B/x' is outside the agent's folder 'A'"),
      graph_no(D + "/root:/A/../B:/content", "GET", ro, dots),
      graph_no(D + "/root:/A%2F..%2FB", "GET", ro, dots),
      graph_no(D + "/root:/A//x", "GET", ro, dots),
      graph_no(D + "/root:/A/", "GET", ro, dots),
      graph_no(D + "/root:/A/%FF", "GET", ro, "bad path encoding"),
      graph_no(D + "/root/children", "GET", ro, inside),
      graph_no(D + "/root", "GET", ro, inside),
      graph_no(D, "GET", ro, inside),
      graph_no(D + "/items/x", "GET", ro, inside),
      // The shared template is readable from anywhere, but only read.
      graph_ok(D + "/root:/templates/memo.docx:/content", "GET", ro),
      graph_no(D + "/root:/templates/memo.docx:/content", "PUT", rw, "only reads there"),
      graph_no(D + "/root:/templates/memo.docx", "GET", ro, "'templates/memo.docx' is outside the agent's folder 'A'"),
      // Next page of a listing: read only, and its item is checked later.
      graph_ok(D + "/items/ABC!1-_z/children?$skiptoken=xyz", "GET", ro, "ABC!1-_z"),
      graph_no(D + "/items/ABC/children?$skiptoken=xyz", "PUT", rw, "only reads there"),
      graph_no(D + "/items/ABC/children", "GET", ro, "item ids only for the next page of a listing"),
      graph_no(D + "/items/A.B/children?skiptoken=1", "GET", ro, "item ids only for the next page of a listing"),
      graph_no(D + "/items//children?skiptoken=1", "GET", ro, "item ids only for the next page of a listing"),
      graph_no("/v1.0/drives/other/root:/A/x", "GET", ro, "only this library's drive"),
  });
}

// Whatever follows the item path's ":" is sent to Graph too, so a dot
// segment there would let a URL normaliser or Graph step out of the folder.
TEST(RelayRules, GraphRefusesDotSegmentsAnywhereInThePath) {
  const RelayGrant folder = grant("anthropic", "rw"), library = grant("anthropic", "rw", upstream(""));
  const std::string dots = "'.' and '..' aren't allowed in a path";
  run({
      graph_no(D + "/root:/A:/../../items/x", "GET", folder, dots),
      graph_no(D + "/root:/A:/%2e%2e/%2E%2E/items/x", "GET", folder, dots),
      graph_no(D + "/root:/A:/./children", "GET", folder, dots),
      graph_no(D + "/root:/A:/x%2F..%2F..%2F..", "PUT", folder, dots),
      graph_no(D + "/root:/A:/%FF", "GET", folder, "bad path encoding"),
      graph_no(D + "/root/../../other/root", "GET", library, dots),
      graph_no(D + "/root:/a/%2e%2e/%2e%2e:/content", "GET", library, dots),
      graph_no(D + "/root:/a/b/..", "PUT", library, dots),
      graph_no(D + "/root//x", "GET", library, dots),
      graph_no(D + "/root/./children", "GET", library, dots),
      // A dot inside a name is no dot segment; the query is not a path.
      graph_ok(D + "/root:/a/..b/.c.:/content", "GET", library),
      graph_ok(D + "/root:/A/v1..2.docx:/content?select=../x", "GET", folder),
  });
}

TEST(RelayRules, GraphWithoutAFolder) {
  const RelayGrant lib = grant("anthropic", "ro", upstream(""));
  run({
      graph_ok(D + "/root", "GET", lib),
      graph_ok(D + "/root/", "GET", lib),
      graph_ok(D + "/root/children", "GET", lib),
      graph_ok(D + "/root:/any/path:/content", "GET", lib),
      graph_ok(D + "/items/ABC/children?%24skiptoken=1", "GET", lib, "ABC"),
      graph_no(D + "/items/x", "GET", lib, "only paths in the library"),
      graph_no(D, "GET", lib, "only paths in the library"),
      graph_no(D + "/", "GET", lib, "only paths in the library"),
      graph_no(D + "/rootx", "GET", lib, "only paths in the library"),
      graph_no(D + "/root:/x:/content", "PUT", lib, "this agent is read-only in SharePoint"),
      graph_no(D + "/root:/x", "GET", grant("anthropic", "rw", upstream("", "")), "only this library's drive"),
      graph_no(D + "/root:/x", "GET", grant("anthropic", "none"), "this agent was launched without SharePoint"),
      graph_no(D + "/root:/x", "GET", grant("anthropic", "RO"), "this agent was launched without SharePoint"),
  });
}

TEST(RelayPath, ServiceAndServicePath) {
  struct Case {
    const char *path, *service, *rest;
  } cases[] = {
      {"/relay/graph/v1.0/drives/x/root:/a.docx:/content?b=1", "graph", "/v1.0/drives/x/root:/a.docx:/content?b=1"},
      {"/relay/anthropic", "anthropic", "/"},
      {"/relay/anthropic/", "anthropic", "/"},
      {"/relay/", "", "/"},
      {"/relay//x", "", "/x"},
      {"/relay/a?b/c", "a?b", "/c"},
  };
  for (const auto& c : cases) {
    RelayPath p = split_relay_path(c.path);
    EXPECT_EQ(p.service, c.service) << c.path;
    EXPECT_EQ(p.service_path, c.rest) << c.path;
  }
}

}  // namespace
}  // namespace drovix::host
