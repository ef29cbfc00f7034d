#pragma once
// A real ClickHouse server for the suites: Debian's clickhouse-server,
// started once per test process on first use, listening only on 127.0.0.1
// at free ports, with its data in a scratch folder and every sql/*.sql file
// of the source tree applied in name order. It is stopped and its folder
// removed when the process ends. Not for use inside run_in_netns (the
// server lives in the parent's network namespace).
#include <string>

namespace testbed {

struct ClickHouseServer {
  bool ok = false;    // started and schema applied
  std::string url;    // "http://127.0.0.1:{http_port}/"
  int http_port = 0;
  int tcp_port = 0;
  std::string dir;    // scratch folder holding config, data and logs
};

// Starts the server on first call; a failure to start fails the calling
// test and every later call returns the same failed record.
const ClickHouseServer& clickhouse_server();

struct ClickHouseAnswer {
  int status = 0;     // 0 when the server could not be reached
  std::string body;
};

// Runs one statement through the HTTP interface (the statement as the body),
// as the given user (default: the password-less "default" user).
ClickHouseAnswer clickhouse_exchange(const std::string& sql, const std::string& user = "",
                                     const std::string& password = "");

// Runs one statement as "default" and returns the reply body; a reply other
// than 200 fails the calling test.
std::string clickhouse_query(const std::string& sql);

// Adds a user (a file in the server's users.d folder) with the given
// password and settings profile ("default" or "readonly"), allowed from
// 127.0.0.1 only, and waits until the server accepts its credentials.
void clickhouse_add_user(const std::string& name, const std::string& password,
                         const std::string& profile = "default");

}  // namespace testbed
