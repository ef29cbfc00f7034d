#include "host/src/util/clickhouse.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/encoding.hpp"
#include "tests/testbed/clickhouse.hpp"
#include "tests/testbed/http_peer.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

using testbed::HttpPeer;
using testbed::PeerReply;
using testbed::PeerRequest;

const HttpClient& test_client() {
  static HttpClient c(HttpClientOptions{true, 100, ""});
  return c;
}

ClickHouseSettings settings_for(const std::string& url) {
  ClickHouseSettings s;
  s.url = url;
  return s;
}

std::string closed_url() { return "http://127.0.0.1:" + std::to_string(testbed::free_port()) + "/"; }

TEST(ClickHouseParams, FormEncodingAndConstructors) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"AZaz09*-._", "AZaz09*-._"},
      {"a b&c=d", "a+b%26c%3Dd"},
      {"x/y?z+%~", "x%2Fy%3Fz%2B%25%7E"},
      {"é\n", "%C3%A9%0A"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(form_encode(c.in), c.out) << c.in;

  EXPECT_EQ(query_param_int("n", -42).value, "-42");
  EXPECT_EQ(query_param_int("n", 42).value, "42");
  EXPECT_EQ(query_param_int("n", INT64_MIN).value, "-9223372036854775808");
  EXPECT_EQ(scope_param("desk:fx").name, "scope");
  EXPECT_EQ(scope_param("desk:fx").value, "desk:fx");
  QueryParam owned = query_param_owned("label", "L1");
  EXPECT_EQ(owned.name, "label");
  EXPECT_EQ(owned.value, "L1");
}

TEST(ClickHousePost, QueryStringAndCredentialHeaders) {
  HttpPeer peer;
  struct Case {
    const char *user, *password, *desk_password;
    std::optional<std::string> desk_user;
    std::optional<std::string> want_user, want_key;
  } cases[] = {
      {"", "", "", std::nullopt, std::nullopt, std::nullopt},
      {"app", "pw", "dpw", std::nullopt, "app", "pw"},
      {"app", "", "dpw", std::nullopt, "app", std::nullopt},
      {"", "pw", "", std::nullopt, std::nullopt, "pw"},
      {"app", "pw", "dpw", "desk_fx", "desk_fx", "dpw"},
      {"app", "pw", "", "desk_fx", "desk_fx", std::nullopt},
      {"app", "pw", "dpw", "", std::nullopt, "dpw"},
  };
  for (const auto& c : cases) {
    ClickHouseSettings s = settings_for(peer.url("/"));
    s.user = c.user;
    s.password = c.password;
    s.desk_password = c.desk_password;
    ClickHouseEndpoint ep{s, test_client()};
    ASSERT_TRUE(clickhouse_post(ep, "SELECT 1", {}, c.desk_user, 5).ok());
  }
  auto seen = peer.requests();
  ASSERT_EQ(seen.size(), std::size(cases));
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].method, "POST");
    EXPECT_EQ(seen[i].target, "/");  // no parameters, no "?"
    EXPECT_EQ(seen[i].body, "SELECT 1");
    EXPECT_EQ(seen[i].header("X-ClickHouse-User"), cases[i].want_user);
    EXPECT_EQ(seen[i].header("X-ClickHouse-Key"), cases[i].want_key);
  }

  ClickHouseSettings s = settings_for(peer.url("/"));
  ClickHouseEndpoint ep{s, test_client()};
  ASSERT_TRUE(clickhouse_post(ep, "", {query_param("param_q", "a b&c=d"), query_param_int("limit", -1)},
                              std::nullopt, 5)
                  .ok());
  EXPECT_EQ(peer.requests().back().target, "/?param_q=a+b%26c%3Dd&limit=-1");
}

TEST(ClickHousePost, RepliesAndErrors) {
  std::string long_body(1000, 'x');
  std::string wide300, wide301;
  for (int i = 0; i < 300; ++i) wide300 += "é";
  wide301 = wide300 + "é";
  HttpPeer peer([&](const PeerRequest& r) {
    PeerReply p;
    if (r.body == "empty") return p;
    if (r.body == "boom") {
      p.status = 500;
      p.body = "  \n Code: 62, e.displayText() = DB::Exception: Syntax error \n";
    } else if (r.body == "long") {
      p.status = 400;
      p.body = "  " + long_body;
    } else if (r.body == "wide300") {
      p.status = 404;
      p.body = wide300;
    } else if (r.body == "wide301") {
      p.status = 404;
      p.body = wide301;
    } else if (r.body == "latin1") {
      p.status = 500;
      p.body = "caf\xE9";
    }
    return p;
  });
  ClickHouseSettings s = settings_for(peer.url("/"));
  ClickHouseEndpoint ep{s, test_client()};

  auto empty = clickhouse_post(ep, "empty", {}, std::nullopt, 5);
  ASSERT_TRUE(empty.ok()) << empty.message();
  EXPECT_EQ(empty.text(), "");

  struct Case {
    std::string body;
    uint16_t status;
    std::string message;
  } cases[] = {
      {"boom", 500, "HTTP Error 500: Code: 62, e.displayText() = DB::Exception: Syntax error"},
      {"long", 400, "HTTP Error 400: " + long_body.substr(0, 300)},
      {"wide300", 404, "HTTP Error 404: " + wide300},
      {"wide301", 404, "HTTP Error 404: " + wide300},
      {"latin1", 500, "HTTP Error 500: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    auto r = clickhouse_post(ep, c.body, {}, std::nullopt, 5);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ClickHouseError::Kind::Status);
    EXPECT_EQ(r.error().status, c.status);
    EXPECT_EQ(r.message(), c.message);
  }

  ClickHouseSettings gone = settings_for(closed_url());
  auto refused = clickhouse_post(ClickHouseEndpoint{gone, test_client()}, "SELECT 1", {}, std::nullopt, 5);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, ClickHouseError::Kind::Transport);
  EXPECT_NE(refused.message().find("Network Error"), std::string::npos) << refused.message();
  EXPECT_EQ(refused.message(), refused.error().text);
}

TEST(ClickHouseInsert, RowsAreLinesOfCompactJsonBehindAnInsertQuery) {
  HttpPeer peer;
  ClickHouseSettings s = settings_for(peer.url("/"));
  s.user = "writer";
  s.desk_password = "not-used";
  ClickHouseEndpoint ep{s, test_client()};
  std::vector<OJson> rows = {audit_row("s1", "e1", "signal", "r", "high", "", "a \"quoted\"\nline", "h", "u"),
                             OJson{{"z", 1}, {"a", {1, 2}}}};
  auto r = clickhouse_insert(ep, "datalake.ai_audit", rows, {query_param("async_insert", "0")});
  ASSERT_TRUE(r.ok()) << r.message();
  auto seen = peer.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, "/?query=INSERT+INTO+datalake.ai_audit+FORMAT+JSONEachRow&async_insert=0");
  EXPECT_EQ(seen[0].body,
            "{\"session_id\":\"s1\",\"event_id\":\"e1\",\"kind\":\"signal\",\"rule\":\"r\",\"severity\":\"high\","
            "\"tool\":\"\",\"text\":\"a \\\"quoted\\\"\\nline\",\"host\":\"h\",\"os_user\":\"u\"}\n"
            "{\"z\":1,\"a\":[1,2]}");
  EXPECT_EQ(seen[0].header("X-ClickHouse-User"), "writer");
  EXPECT_FALSE(seen[0].header("X-ClickHouse-Key"));
}

TEST(ClickHouseInsert, EmptyBatchSendsNothing) {
  HttpPeer peer;
  ClickHouseSettings s = settings_for(peer.url("/"));
  ClickHouseEndpoint ep{s, test_client()};
  EXPECT_TRUE(clickhouse_insert(ep, "datalake.ai_audit", {}, {}).ok());
  testing::internal::CaptureStdout();
  insert_audit_rows(ep, {}, "console");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  // Even with ClickHouse unreachable, an empty batch is a success.
  ClickHouseSettings gone = settings_for(closed_url());
  EXPECT_TRUE(clickhouse_insert(ClickHouseEndpoint{gone, test_client()}, "t", {}, {}).ok());
  EXPECT_TRUE(clickhouse_insert("datalake.ai_audit", {}, {}).ok());
  EXPECT_EQ(peer.requests().size(), 0u);
  EXPECT_EQ(peer.connections(), 0);
}

TEST(ParseJsonRows, KeepsOnlyWholeJsonLinesInOrder) {
  struct Case {
    std::string text;
    std::vector<std::string> rows;  // compact forms
  } cases[] = {
      {"{\"a\":1}\n\n  \t\n{\"b\":2}\r\nnot json\n[1,2]", {"{\"a\":1}", "{\"b\":2}", "[1,2]"}},
      {"{\"a\":1} trailing\n{\"a\":2} \n\"s\"", {"{\"a\":2}", "\"s\""}},
      {"{\"z\":1,\"a\":2}\r\n", {"{\"z\":1,\"a\":2}"}},
      {"", {}},
      {"\n\r\n", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const auto& v : parse_json_rows(c.text)) got.push_back(to_compact(v));
    EXPECT_EQ(got, c.rows) << c.text;
  }
}

TEST(AuditRow, NineStringKeysInColumnOrder) {
  AuditRow row = audit_row("s", "e", "k", "r", "sev", "", "t", "h", "u");
  EXPECT_EQ(to_compact(row),
            "{\"session_id\":\"s\",\"event_id\":\"e\",\"kind\":\"k\",\"rule\":\"r\",\"severity\":\"sev\","
            "\"tool\":\"\",\"text\":\"t\",\"host\":\"h\",\"os_user\":\"u\"}");
  AuditRow digits = audit_row("1", "2", "3", "4", "5", "6", "7", "8", "9");
  for (const auto& [k, v] : digits.items()) EXPECT_TRUE(v.is_string()) << k;
}

TEST(AuditRowsInClickHouse, InsertedRowsReadBack) {
  const auto& server = testbed::clickhouse_server();
  ASSERT_TRUE(server.ok);
  ClickHouseSettings s = settings_for(server.url);
  ClickHouseEndpoint ep{s, test_client()};
  std::string session = "s-" + hex_lower(random_bytes(6));
  std::vector<AuditRow> rows = {
      audit_row(session, "e1", "signal", "pii", "high", "", "contains \"quotes\", ünïcode\nand a line", "host-a", "alice"),
      audit_row(session, "e2", "tool", "sql", "info", "query_lake", "SELECT 1", "host-a", "bob"),
  };
  testing::internal::CaptureStdout();
  insert_audit_rows(ep, rows, "gateway");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // The session id is plain hex, so it can stand in the statement as it is.
  auto r = clickhouse_post(ep,
                           "SELECT session_id, event_id, kind, rule, severity, tool, text, host, os_user, "
                           "ts > toDateTime('2020-01-01 00:00:00') AS stamped FROM datalake.ai_audit "
                           "WHERE session_id = '" + session + "' ORDER BY event_id FORMAT JSONEachRow",
                           {}, std::nullopt, 10);
  ASSERT_TRUE(r.ok()) << r.message();
  auto back = parse_json_rows(r.text());
  ASSERT_EQ(back.size(), 2u) << r.text();
  for (size_t i = 0; i < rows.size(); ++i) {
    OJson expected = rows[i];
    expected["stamped"] = 1;
    EXPECT_EQ(back[i], expected);
  }
}

TEST(AuditRowsInClickHouse, FailedInsertIsOneLineAndTheCallerGoesOn) {
  ClickHouseSettings gone = settings_for(closed_url());
  ClickHouseEndpoint ep{gone, test_client()};
  testing::internal::CaptureStdout();
  insert_audit_rows(ep, {audit_row("s", "e", "k", "r", "sev", "", "t", "h", "u")}, "console");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("[console] audit insert failed: ", 0), 0u) << out;
  EXPECT_NE(out.find("Network Error"), std::string::npos) << out;
  EXPECT_EQ(out.find('\n'), out.size() - 1) << out;

  // A refusal by the server itself shows its status and message.
  const auto& server = testbed::clickhouse_server();
  ASSERT_TRUE(server.ok);
  ClickHouseSettings s = settings_for(server.url);
  ClickHouseEndpoint real{s, test_client()};
  testing::internal::CaptureStdout();
  insert_audit_rows(real, {OJson{{"no_such_column", "x"}}}, "gateway");
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("[gateway] audit insert failed: HTTP Error ", 0), 0u) << out;
}

TEST(AuditRowsInClickHouse, DeskUsersSignInWithTheDeskPassword) {
  ASSERT_TRUE(testbed::clickhouse_server().ok);
  testbed::clickhouse_add_user("desk_fx", "desk-secret");
  ClickHouseSettings s = settings_for(testbed::clickhouse_server().url);
  s.desk_password = "desk-secret";
  ClickHouseEndpoint ep{s, test_client()};
  auto r = clickhouse_post(ep, "SELECT 7", {}, std::string("desk_fx"), 10);
  ASSERT_TRUE(r.ok()) << r.message();
  EXPECT_EQ(r.text(), "7\n");

  s.desk_password = "wrong";
  r = clickhouse_post(ep, "SELECT 7", {}, std::string("desk_fx"), 10);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ClickHouseError::Kind::Status);
  EXPECT_NE(r.message().find("Wrong password"), std::string::npos) << r.message();
}

}  // namespace
}  // namespace drovix::host
