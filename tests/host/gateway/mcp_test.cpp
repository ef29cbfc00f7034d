// The data-lake MCP server as an agent VM reaches it: the agent's own MCP
// client over TLS to the gateway listener on 10.0.9.1:443, from the slot
// address 10.0.9.11, inside a network namespace of the test's own.
#include <sys/mount.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "agent/src/main/keyring.hpp"
#include "agent/src/main/mcp_client.hpp"
#include "fixture.hpp"
#include "host/src/gateway/mcp_server.hpp"
#include "host/src/gateway/router.hpp"
#include "host/src/gateway/sql_guard.hpp"
#include "host/src/http/listener.hpp"
#include "host/src/http/tls_setup.hpp"
#include "tests/testbed/testbed.hpp"

using drovix::OJson;
using drovix::SJson;
using namespace gateway_test;

namespace {

// The gateway address on loopback, with connections to it leaving from the
// first slot's address.
void gateway_network() {
  ASSERT_EQ(testbed::sh("ip addr add 10.0.9.1/32 dev lo && ip addr add 10.0.9.11/32 dev lo && "
                        "ip route replace local 10.0.9.1 dev lo table local src 10.0.9.11"),
            0);
}

void start_gateway() {
  auto tls = drovix::host::tls_server_config(home().certs + "/fullchain.pem", home().certs + "/privkey.pem");
  ASSERT_TRUE(tls) << tls.message();
  auto handler = std::make_shared<const drovix::host::Handler>(drovix::host::route_gateway_request);
  auto st = drovix::host::spawn_listener("10.0.9.1:443", *tls, 64 << 20, handler);
  ASSERT_TRUE(st) << st.message();
}

void mount_certs() {
  if (::mkdir("/certs", 0755) != 0 && errno != EEXIST) FAIL() << "mkdir /certs";
  ASSERT_EQ(::mount(home().certs.c_str(), "/certs", nullptr, MS_BIND, nullptr), 0);
}

void add_datalake_entry(drovix::agent::Keyring& kr) {
  drovix::agent::KeyringEntry e;
  e.host = kHostName;
  e.ip = "10.0.9.1";
  e.header = "authorization";
  e.prefix = "Bearer ";
  e.path = "/mcp";
  e.secret = kToken;
  drovix::agent::keyring_insert(kr, "mcp:datalake", e);
}

}  // namespace

TEST(McpOverTls, InitializeListCallAndUnknownMethod) {
  reset_state();
  write_sessions(OJson{{"8001", lake_session("rates")}});
  testbed::run_in_netns([] {
    gateway_network();
    bridge_clickhouse_into_netns();
    mount_certs();
    start_gateway();
    drovix::agent::Keyring kr;
    add_datalake_entry(kr);
    using drovix::agent::mcp_call;
    using drovix::agent::mcp_result_text;

    auto init = mcp_call(kr, "datalake", "initialize", SJson{{"protocolVersion", "2024-11-05"}});
    ASSERT_TRUE(init) << init.message();
    EXPECT_EQ(*init, R"({"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2024-11-05","serverInfo":)"
                     R"({"name":"drovix-datalake-mcp","version":"0.3"},"capabilities":{"tools":{}}}})");

    auto list = mcp_call(kr, "datalake", "tools/list", nullptr);
    ASSERT_TRUE(list) << list.message();
    OJson tools = OJson::parse(*list)["result"]["tools"];
    ASSERT_EQ(tools.size(), 3u);
    EXPECT_EQ(tools[0]["name"], "datalake_tables");
    EXPECT_EQ(tools[0]["inputSchema"].dump(), R"({"type":"object","properties":{}})");
    EXPECT_EQ(tools[1]["name"], "datalake_describe");
    EXPECT_EQ(tools[1]["inputSchema"].dump(),
              R"({"type":"object","properties":{"table":{"type":"string","description":"trade_blotter or comms_surveillance"}},"required":["table"]})");
    EXPECT_EQ(tools[2]["name"], "datalake_query");
    EXPECT_EQ(tools[2]["inputSchema"]["required"], OJson::array({"sql"}));

    auto query = mcp_call(kr, "datalake", "tools/call",
                          SJson{{"name", "datalake_query"}, {"arguments", {{"sql", "select 7 AS seven"}}}});
    ASSERT_TRUE(query) << query.message();
    auto outcome = mcp_result_text(*query);
    EXPECT_FALSE(outcome.is_error);
    EXPECT_EQ(outcome.text, "seven\n7\n");

    auto refused = mcp_call(kr, "datalake", "tools/call", SJson{{"name", "datalake_query"}, {"arguments", {{"sql", 42}}}});
    ASSERT_TRUE(refused) << refused.message();
    EXPECT_EQ(OJson::parse(*refused)["result"]["isError"], true);
    outcome = mcp_result_text(*refused);
    EXPECT_TRUE(outcome.is_error);
    EXPECT_EQ(outcome.text, drovix::host::kNotReadOnly);

    auto describe = mcp_call(kr, "datalake", "tools/call",
                             SJson{{"name", "datalake_describe"}, {"arguments", {{"table", "trade_blotter"}}}});
    ASSERT_TRUE(describe) << describe.message();
    outcome = mcp_result_text(*describe);
    EXPECT_TRUE(outcome.is_error);
    EXPECT_EQ(outcome.text, "BLOCKED: no active grant for datalake.trade_blotter. An admin must grant access first.");

    auto ping = mcp_call(kr, "datalake", "ping", nullptr);
    ASSERT_TRUE(ping) << ping.message();
    EXPECT_EQ(*ping, R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"unknown method 'ping'"}})");
    outcome = mcp_result_text(*ping);
    EXPECT_TRUE(outcome.is_error);
    EXPECT_EQ(outcome.text, "unknown method 'ping'");

    auto tool = mcp_call(kr, "datalake", "tools/call", SJson{{"name", "drop_it"}});
    ASSERT_TRUE(tool);
    EXPECT_EQ(mcp_result_text(*tool).text, "unknown tool 'drop_it'");

    // A wrong token is refused by the gateway before the MCP server.
    drovix::agent::Keyring wrong;
    add_datalake_entry(wrong);
    wrong.entries["mcp:datalake"].secret = std::string(48, 'f');
    auto denied = mcp_call(wrong, "datalake", "initialize", nullptr);
    ASSERT_FALSE(denied);
    EXPECT_EQ(denied.message(), R"(MCP call failed (HTTP 401): {"error":"unauthorized"})");
  });
}

TEST(McpServer, RequestMembers) {
  using drovix::host::handle_mcp_request;
  EXPECT_EQ(handle_mcp_request(OJson{{"method", "initialize"}}, "")["id"], 1);
  EXPECT_EQ(handle_mcp_request(OJson{{"method", "initialize"}, {"id", nullptr}}, "")["id"], nullptr);
  EXPECT_EQ(handle_mcp_request(OJson{{"method", "initialize"}, {"id", "abc"}}, "")["id"], "abc");
  for (const OJson& method : {OJson(5), OJson("Initialize"), OJson("")})
    EXPECT_EQ(handle_mcp_request(OJson{{"method", method}}, "")["error"]["code"], -32601) << method.dump();
  EXPECT_EQ(handle_mcp_request(OJson{{"method", "tools/call"}}, "")["error"]["message"], "unknown tool ''");
  EXPECT_EQ(handle_mcp_request(OJson::object(), "").dump(),
            R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"unknown method ''"}})");
}
