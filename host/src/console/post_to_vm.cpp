#include "host/src/console/post_to_vm.hpp"

#include <algorithm>

#include "common/net.hpp"
#include "common/tls.hpp"
#include "host/src/http/message.hpp"
#include "host/src/http/tls_setup.hpp"
#include "host/src/main/config.hpp"
#include "host/src/util/files.hpp"

namespace drovix::host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kConnectMs = 15000;
constexpr int kReadMs = 15000;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<int64_t>(left, 0));
}

}  // namespace

Result<OJson> parse_vm_answer(const std::string& answer) {
  std::string body = "{}";
  if (auto head = find_header_end(answer); head && *head + 4 < answer.size()) body = answer.substr(*head + 4);
  OJson value;
  try {
    value = OJson::parse(body);
  } catch (const OJson::exception& e) {
    return Error(ErrorKind::InvalidData, e.what());
  }
  if (!value.is_object()) return Error(ErrorKind::InvalidData, "the agent's answer is not a JSON object");
  return value;
}

Result<OJson> post_to_agent(const std::string& address, int agent_port, const std::string& token_file,
                            const std::string& path, const std::string& body,
                            std::chrono::milliseconds exchange_limit) {
  auto token = read_text_trimmed(token_file);
  if (!token) return Error("no flush token");
  const auto deadline = Clock::now() + exchange_limit;

  auto sock = tcp_connect(address, agent_port, std::min(kConnectMs, remaining_ms(deadline)));
  if (!sock) return sock.error();
  if (auto st = set_recv_timeout(*sock, std::min(kReadMs, std::max(1, remaining_ms(deadline)))); !st)
    return st.error();
  // A VM that stops reading must not hold the caller either.
  if (auto st = set_send_timeout(*sock, std::max(1, remaining_ms(deadline))); !st) return st.error();

  const std::string& host = host_config().hostname;
  auto tls = TlsStream::connect(*sock, outbound_tls_config(), host);
  if (!tls) return tls.error();

  std::string head = "POST " + path + " HTTP/1.1\r\nHost: " + host +
                     "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                     "\r\nConnection: close\r\nx-flush-token: " + *token + "\r\n\r\n";
  if (auto st = (*tls)->write_all(head); !st) return st.error();
  if (!body.empty()) {
    if (auto st = (*tls)->write_all(body); !st) return st.error();
  }

  std::string answer;
  char buf[16384];
  while (true) {
    int left = remaining_ms(deadline);
    if (left <= 0) return Error(ErrorKind::TimedOut, "the agent did not finish its answer in time");
    (void)set_recv_timeout(*sock, std::min(kReadMs, left));
    auto got = (*tls)->read_some(buf, sizeof buf);
    if (!got) {
      // A peer that resets the connection has said all it will say.
      if (got.error().kind == ErrorKind::UnexpectedEof ||
          (got.error().kind == ErrorKind::Io && got.message().find("reset") != std::string::npos))
        break;
      return got.error();
    }
    if (*got == 0) break;
    answer.append(buf, *got);
    if (answer.size() > kMaxVmAnswer) return Error(ErrorKind::InvalidData, "the agent's answer is over 1 MiB");
  }
  return parse_vm_answer(answer);
}

Result<OJson> post_to_vm(uint16_t port, uint16_t n, const std::string& path, const std::string& body) {
  const std::string token_file = host_config().home + "/vmstate/" + std::to_string(port) + "/certs/flush.token";
  return post_to_agent("10.0.9." + std::to_string(n + 10), 8443, token_file, path, body, std::chrono::seconds(40));
}

}  // namespace drovix::host
