#include "host/src/gateway/mcp_server.hpp"

#include "host/src/gateway/catalog.hpp"
#include "host/src/gateway/sql_guard.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

OJson reply_head(const OJson& id) {
  OJson r = OJson::object();
  r["jsonrpc"] = "2.0";
  r["id"] = id;
  return r;
}

OJson string_property(const char* description) {
  OJson p = OJson::object();
  p["type"] = "string";
  p["description"] = description;
  return p;
}

OJson tool(const char* name, const char* description, OJson schema) {
  OJson t = OJson::object();
  t["name"] = name;
  t["description"] = description;
  t["inputSchema"] = std::move(schema);
  return t;
}

OJson one_arg_schema(const char* arg, const char* description) {
  OJson schema = OJson::object();
  schema["type"] = "object";
  OJson props = OJson::object();
  props[arg] = string_property(description);
  schema["properties"] = std::move(props);
  schema["required"] = OJson::array({arg});
  return schema;
}

}  // namespace

OJson mcp_tool_list() {
  OJson tables_schema = OJson::object();
  tables_schema["type"] = "object";
  tables_schema["properties"] = OJson::object();
  OJson tools = OJson::array();
  tools.push_back(tool("datalake_tables",
                       "Start here. Lists the on-prem data lake tables this agent can use: what each holds, its "
                       "columns, whether an admin has granted access (and minutes left), how many rows this agent's "
                       "desk can see, and example questions. No arguments.",
                       std::move(tables_schema)));
  tools.push_back(tool("datalake_describe",
                       "Columns and the latest 5 rows of one data lake table (grant-gated, desk-filtered).",
                       one_arg_schema("table", "trade_blotter or comms_surveillance")));
  tools.push_back(tool("datalake_query",
                       "Run ONE read-only SQL query (SELECT/WITH) against the on-prem data lake (ClickHouse). Tables: "
                       "datalake.trade_blotter, datalake.comms_surveillance. Each table needs an active admin grant; "
                       "rows are filtered to this agent's desk by the database; results cap at 200 rows; every query "
                       "is audited.",
                       one_arg_schema("sql", "a single read-only SQL statement")));
  return tools;
}

OJson mcp_text_result(const OJson& id, const McpToolOutput& output) {
  OJson item = OJson::object();
  item["type"] = "text";
  item["text"] = output.text;
  OJson result = OJson::object();
  result["content"] = OJson::array({item});
  result["isError"] = output.is_error;
  OJson r = reply_head(id);
  r["result"] = std::move(result);
  return r;
}

OJson mcp_error(const OJson& id, const std::string& message) {
  OJson error = OJson::object();
  error["code"] = -32601;
  error["message"] = message;
  OJson r = reply_head(id);
  r["error"] = std::move(error);
  return r;
}

OJson handle_mcp_request(const OJson& body, const std::string& caller_ip) {
  OJson id = 1;
  std::string method;
  OJson params = OJson::object();
  if (body.is_object()) {
    if (auto it = body.find("id"); it != body.end()) id = *it;
    if (auto it = body.find("method"); it != body.end() && it->is_string()) method = it->get<std::string>();
    if (auto it = body.find("params"); it != body.end() && it->is_object()) params = *it;
  }

  if (method == "initialize") {
    OJson info = OJson::object();
    info["name"] = "drovix-datalake-mcp";
    info["version"] = "0.3";
    OJson caps = OJson::object();
    caps["tools"] = OJson::object();
    OJson result = OJson::object();
    result["protocolVersion"] = "2024-11-05";
    result["serverInfo"] = std::move(info);
    result["capabilities"] = std::move(caps);
    OJson r = reply_head(id);
    r["result"] = std::move(result);
    return r;
  }
  if (method == "tools/list") {
    OJson result = OJson::object();
    result["tools"] = mcp_tool_list();
    OJson r = reply_head(id);
    r["result"] = std::move(result);
    return r;
  }
  if (method != "tools/call") return mcp_error(id, "unknown method '" + method + "'");

  std::string name = json_get_str(params, "name");
  auto args_it = params.find("arguments");
  OJson args = args_it != params.end() && args_it->is_object() ? *args_it : OJson::object();
  auto arg_text = [&args](const char* key) {
    auto it = args.find(key);
    return json_to_text(it == args.end() ? nullptr : &*it);
  };
  if (name == "datalake_tables") return mcp_text_result(id, describe_datalake_tables(caller_ip));
  if (name == "datalake_describe") return mcp_text_result(id, describe_datalake_table(arg_text("table"), caller_ip));
  if (name == "datalake_query") return mcp_text_result(id, run_datalake_query(arg_text("sql"), caller_ip));
  return mcp_error(id, "unknown tool '" + name + "'");
}

}  // namespace drovix::host
