#pragma once
// One host home for the relay suite (the host configuration is loaded once
// per process): test certificates for "drovix.test" (also valid for
// 127.0.0.1 and 10.0.9.1), the real ClickHouse test server, the origin sink
// on, and the Graph host pointed at a loopback port that graph_peer() serves.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "common/result.hpp"
#include "common/stream.hpp"
#include "tools/peers/model_peer.hpp"

namespace relay_test {

struct Home {
  std::string dir;    // DROVIX_HOME
  std::string certs;  // <dir>/fleetcerts: fullchain.pem, privkey.pem, ca.pem
  std::string ca_pem;
  int graph_port = 0;
  int clickhouse_port = 0;
};
const Home& home();

// A TLS peer on 127.0.0.1 at any free port, with the home's certificate.
std::unique_ptr<peers::ModelPeer> start_peer();
// The peer serving the configured Graph host; started on first use and
// kept for the whole process. Tests push their replies in order.
peers::ModelPeer& graph_peer();

// Writes <dir>/vmstate/<port>/relay.json.
void write_record(uint16_t port, const drovix::OJson& record);
void write_cert_file(const std::string& name, const std::string& text);
void remove_cert_file(const std::string& name);

// datalake.ai_audit rows of relay refusals whose text contains the marker.
std::vector<drovix::OJson> refusal_rows(const std::string& marker);

// A connection stand-in that keeps what the relay writes; writes fail once
// fail_after bytes have been taken.
class MemoryConn : public drovix::ByteStream {
 public:
  std::string out;
  bool finished = false;
  size_t fail_after = SIZE_MAX;
  drovix::Result<size_t> read_some(char*, size_t) override { return size_t{0}; }
  drovix::Status write_all(std::string_view data) override;
  drovix::Status finish() override;
};

// A reply as the agent reads it.
struct AgentReply {
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string body;
  drovix::OJson json() const { return drovix::OJson::parse(body, nullptr, false); }
};
AgentReply parse_reply(const std::string& raw);

// Inside run_in_netns: makes the ClickHouse server of the parent namespace
// reachable at the same loopback port, so the audit rows of a refusal made
// inside reach the real server.
void bridge_clickhouse_into_netns();

}  // namespace relay_test
