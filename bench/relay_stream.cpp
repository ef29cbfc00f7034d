// Streaming through the relay against straight to the upstream, in one run:
// time to the first reply byte, the delay each streamed event picks up on
// the way, and the throughput of a large streamed body.
//
//   bench_relay_stream [iterations] [events] [bulk MiB]
//
// Needs root: it makes a network namespace of its own in which 10.0.9.1 is
// the gateway address and 10.0.9.11 an agent VM's, and it needs the ip and
// openssl programs. The upstream is a TLS peer on the namespace's loopback
// that answers every call as its request body asks; the relay is the host's
// own listener on 10.0.9.1:443.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/fs.hpp"
#include "common/net.hpp"
#include "common/tls.hpp"
#include "host/src/http/listener.hpp"
#include "host/src/http/tls_setup.hpp"

using namespace drovix;
using namespace drovix::host;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kHead = "HTTP/1.1 200 OK\r\ncontent-type: text/event-stream\r\nconnection: close\r\n\r\n";

// When the peer wrote each event of the latest "events" reply.
std::mutex g_sent_mu;
std::vector<Clock::time_point> g_sent;

std::string event_text(int i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "data: {\"n\":%06d}\n\n", i);
  return buf;
}

long arg_of(const std::string& body, const char* key) {
  size_t at = body.find(key);
  return at == std::string::npos ? 0 : std::atol(body.c_str() + at + std::strlen(key));
}

// Answers one call as its body asks: "ttfb" one event at once; "events:N
// gap:G" N events G microseconds apart; "bulk:B" B bytes as fast as it can.
void serve_upstream(Socket sock, TlsContext ctx) {
  (void)set_nodelay(sock);
  auto tls = TlsStream::accept(sock, ctx);
  if (!tls) return;
  std::string req;
  char buf[8192];
  size_t head_end;
  while ((head_end = req.find("\r\n\r\n")) == std::string::npos) {
    auto n = (*tls)->read_some(buf, sizeof buf);
    if (!n || *n == 0) return;
    req.append(buf, *n);
  }
  std::string lower = req.substr(0, head_end);
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
  size_t want = head_end + 4 + static_cast<size_t>(arg_of(lower, "content-length:"));
  while (req.size() < want) {
    auto n = (*tls)->read_some(buf, sizeof buf);
    if (!n || *n == 0) return;
    req.append(buf, *n);
  }
  std::string body = req.substr(head_end + 4);
  TlsStream& out = **tls;
  if (body.find("ttfb") != std::string::npos) {
    (void)out.write_all(kHead + event_text(0));
  } else if (long n = arg_of(body, "events:"); n > 0) {
    long gap = arg_of(body, "gap:");
    if (!out.write_all(kHead)) return;
    auto start = Clock::now();
    for (long i = 0; i < n; ++i) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(gap * (i + 1)));
      auto t = Clock::now();
      if (!out.write_all(event_text(static_cast<int>(i)))) return;
      std::lock_guard lock(g_sent_mu);
      g_sent.push_back(t);
    }
  } else if (long bytes = arg_of(body, "bulk:"); bytes > 0) {
    if (!out.write_all(kHead)) return;
    std::string piece(65536, 'x');
    for (long left = bytes; left > 0; left -= static_cast<long>(piece.size())) {
      if (!out.write_all(std::string_view(piece).substr(0, static_cast<size_t>(std::min<long>(left, piece.size())))))
        return;
    }
  }
  (void)out.finish();
}

void upstream_loop(Socket listener, TlsContext ctx) {
  for (;;) {
    auto c = tcp_accept(listener);
    if (!c) continue;
    std::thread(serve_upstream, std::move(*c), ctx).detach();
  }
}

// One client call. Through the relay it comes from 10.0.9.11 and carries the
// relay token, as an agent VM's does.
struct Call {
  Socket sock;
  std::unique_ptr<TlsStream> tls;
  std::string got;
  size_t body_at = std::string::npos;

  bool start(bool relay, int direct_port, const TlsContext& client, const std::string& body) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sock = Socket(fd);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    if (relay) {
      sockaddr_in self{};
      self.sin_family = AF_INET;
      ::inet_pton(AF_INET, "10.0.9.11", &self.sin_addr);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) return false;
      ::inet_pton(AF_INET, "10.0.9.1", &to.sin_addr);
      to.sin_port = htons(443);
    } else {
      ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
      to.sin_port = htons(static_cast<uint16_t>(direct_port));
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
    (void)set_nodelay(sock);
    (void)set_recv_timeout(sock, 60000);
    auto t = TlsStream::connect(sock, client, relay ? "10.0.9.1" : "127.0.0.1");
    if (!t) return false;
    tls = std::move(*t);
    std::string path = relay ? "/relay/anthropic/v1/messages" : "/v1/messages";
    std::string req = "POST " + path + " HTTP/1.1\r\nhost: bench\r\nx-drovix-relay: " + kToken +
                      "\r\ncontent-type: application/json\r\ncontent-length: " + std::to_string(body.size()) +
                      "\r\n\r\n" + body;
    return tls->write_all(req).ok();
  }

  // Reads one more piece; false at the end.
  bool read_more() {
    char buf[65536];
    auto n = tls->read_some(buf, sizeof buf);
    if (!n || *n == 0) return false;
    got.append(buf, *n);
    if (body_at == std::string::npos) {
      size_t h = got.find("\r\n\r\n");
      if (h != std::string::npos) body_at = h + 4;
    }
    return true;
  }
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// Time from the start of a call (connection included) to its first reply
// byte.
double ttfb_ms(bool relay, int port, const TlsContext& client) {
  auto t0 = Clock::now();
  Call c;
  if (!c.start(relay, port, client, R"({"ttfb":1})") || !c.read_more()) return -1;
  double ms = ms_since(t0);
  while (c.read_more()) {
  }
  return ms;
}

// Mean time between the peer writing an event and the client holding it.
double event_delay_us(bool relay, int port, const TlsContext& client, int events, int gap_us) {
  {
    std::lock_guard lock(g_sent_mu);
    g_sent.clear();
  }
  Call c;
  std::string body = "{\"events:" + std::to_string(events) + " gap:" + std::to_string(gap_us) + "\":1}";
  if (!c.start(relay, port, client, body)) return -1;
  std::vector<Clock::time_point> arrived;
  while (static_cast<int>(arrived.size()) < events && c.read_more()) {
    if (c.body_at == std::string::npos) continue;
    while (static_cast<int>(arrived.size()) < events &&
           c.got.find(event_text(static_cast<int>(arrived.size())), c.body_at) != std::string::npos)
      arrived.push_back(Clock::now());
  }
  while (c.read_more()) {
  }
  std::lock_guard lock(g_sent_mu);
  if (arrived.size() != g_sent.size() || arrived.empty()) return -1;
  double sum = 0;
  for (size_t i = 0; i < arrived.size(); ++i)
    sum += std::chrono::duration<double, std::micro>(arrived[i] - g_sent[i]).count();
  return sum / static_cast<double>(arrived.size());
}

// MB/s of the body, from its first byte to its end.
double throughput_mbs(bool relay, int port, const TlsContext& client, long bytes) {
  Call c;
  if (!c.start(relay, port, client, "{\"bulk:" + std::to_string(bytes) + "\":1}")) return -1;
  while (c.body_at == std::string::npos || c.got.size() == c.body_at)
    if (!c.read_more()) return -1;
  auto t0 = Clock::now();
  size_t have = c.got.size() - c.body_at;
  c.got.clear();
  char buf[65536];
  for (;;) {
    auto n = c.tls->read_some(buf, sizeof buf);
    if (!n || *n == 0) break;
    have += *n;
  }
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  if (have != static_cast<size_t>(bytes)) return -1;
  return static_cast<double>(bytes) / 1e6 / secs;
}

int fail(const std::string& what) {
  std::fprintf(stderr, "bench_relay_stream: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = argc > 1 ? std::atoi(argv[1]) : 50;
  int events = argc > 2 ? std::atoi(argv[2]) : 200;
  long bulk_mib = argc > 3 ? std::atol(argv[3]) : 256;
  if (iterations < 1 || events < 1 || bulk_mib < 1) {
    std::fprintf(stderr, "usage: %s [iterations] [events] [bulk MiB]\n", argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (::unshare(CLONE_NEWNET) != 0) return fail("a network namespace needs root");
  if (std::system("ip link set lo up && ip addr add 10.0.9.1/32 dev lo && ip addr add 10.0.9.11/32 dev lo") != 0)
    return fail("cannot set up the namespace's addresses");

  // A base folder with the certificate, the key, the relay record of slot
  // 8001 and an Anthropic key; the origin sink stays off.
  char tmpl[] = "/tmp/drovix-bench-relay-XXXXXX";
  if (!::mkdtemp(tmpl)) return fail("no scratch folder");
  const std::string home = tmpl, certs = home + "/fleetcerts";
  struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup{home};
  (void)make_dirs(certs);
  std::string gen = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=bench "
                    "-addext subjectAltName=IP:127.0.0.1,IP:10.0.9.1 -keyout " + certs + "/privkey.pem -out " +
                    certs + "/fullchain.pem >/dev/null 2>&1";
  if (std::system(gen.c_str()) != 0) return fail("openssl could not make a certificate");
  auto cert = read_file(certs + "/fullchain.pem");
  if (!cert) return fail(cert.message());
  (void)write_file_atomic(certs + "/ca.pem", *cert, 0644);
  (void)write_file_atomic(certs + "/anthropic.key", "sk-bench\n", 0600);
  (void)write_file_atomic(certs + "/host.json",
                          R"({"hostname":"bench","origin":{"enabled":false},"clickhouse":{"url":"http://127.0.0.1:1/"}})",
                          0600);
  ::setenv("DROVIX_HOME", home.c_str(), 1);

  auto server_ctx = tls_server_context(certs + "/fullchain.pem", certs + "/privkey.pem");
  if (!server_ctx) return fail(server_ctx.message());
  auto upstream = tcp_listen("127.0.0.1:0");
  if (!upstream) return fail(upstream.message());
  int port = *local_port(*upstream);
  std::thread(upstream_loop, std::move(*upstream), *server_ctx).detach();
  (void)write_file_atomic(home + "/vmstate/8001/relay.json",
                          "{\"token\":\"" + kToken + "\",\"provider\":\"anthropic\",\"onedrive\":\"none\","
                          "\"upstream\":{\"anthropic\":{\"host\":\"127.0.0.1:" + std::to_string(port) + "\"}}}",
                          0600);

  auto gw_tls = tls_server_config(certs + "/fullchain.pem", certs + "/privkey.pem");
  if (!gw_tls) return fail(gw_tls.message());
  auto handler = std::make_shared<const Handler>(
      [](const HttpRequest&) { return json_response(404, OJson{{"error", "not found"}}); });
  if (auto st = listen_gateway("10.0.9.1", *gw_tls, HttpService{64 << 20, handler}); !st) return fail(st.message());
  TlsContext client = tls_client_context(*cert);

  // Warm both roads once (the relay's client loads its trust on first use).
  if (ttfb_ms(false, port, client) < 0 || ttfb_ms(true, port, client) < 0) return fail("a first call failed");

  std::vector<double> direct_ttfb, relay_ttfb;
  for (int i = 0; i < iterations; ++i) {
    direct_ttfb.push_back(ttfb_ms(false, port, client));
    relay_ttfb.push_back(ttfb_ms(true, port, client));
  }
  if (*std::min_element(direct_ttfb.begin(), direct_ttfb.end()) < 0 ||
      *std::min_element(relay_ttfb.begin(), relay_ttfb.end()) < 0)
    return fail("a first-byte call failed");
  double d_ttfb = median(direct_ttfb), r_ttfb = median(relay_ttfb);

  const int gap_us = 2000;
  double d_event = event_delay_us(false, port, client, events, gap_us);
  double r_event = event_delay_us(true, port, client, events, gap_us);
  if (d_event < 0 || r_event < 0) return fail("an event stream came back incomplete");

  const long bytes = bulk_mib * 1024 * 1024;
  double d_tp = throughput_mbs(false, port, client, bytes);
  double r_tp = throughput_mbs(true, port, client, bytes);
  if (d_tp < 0 || r_tp < 0) return fail("a bulk body came back incomplete");

  std::printf("first byte (median of %d, connection included): direct %.3f ms, relay %.3f ms, ratio relay/direct %.2f\n",
              iterations, d_ttfb, r_ttfb, r_ttfb / d_ttfb);
  std::printf("event delay (mean of %d events, %d us apart): direct %.1f us, relay %.1f us, added by the relay %.1f us, "
              "ratio relay/direct %.2f\n",
              events, gap_us, d_event, r_event, r_event - d_event, r_event / d_event);
  std::printf("throughput (%ld MiB body): direct %.1f MB/s, relay %.1f MB/s, ratio relay/direct %.2f\n", bulk_mib, d_tp,
              r_tp, r_tp / d_tp);
  std::fflush(stdout);
  // Detached server threads still run: leave without unwinding them.
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
  std::_Exit(0);
}
