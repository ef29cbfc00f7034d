#pragma once
// One host home for the suite (the host configuration is loaded once per
// process): the origin sink on with tenant "t_test" and host "origin.test",
// and ClickHouse pointing at the real test server.
#include <string>
#include <vector>

#include "common/json.hpp"
#include "tests/testbed/http_peer.hpp"

namespace origin_test {

inline constexpr const char* kTenant = "t_test";
inline constexpr const char* kOriginHost = "origin.test";

struct Home {
  std::string dir;
};
const Home& home();

// Replaces vmstate/sessions.json.
void write_registry(const drovix::OJson& sessions);

// Rows of a real ClickHouse table matching the condition (any order).
std::vector<drovix::OJson> rows_where(const std::string& table, const std::string& where);

// The JSON rows of every insert a recording peer received into the table.
std::vector<drovix::OJson> inserted_rows(const testbed::HttpPeer& peer, const std::string& table);

}  // namespace origin_test
