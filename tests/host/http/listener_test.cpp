#include "host/src/http/listener.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/net.hpp"
#include "common/tls.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix;
using namespace drovix::host;

namespace {

TlsContext test_server_tls() {
  static TlsContext ctx = [] {
    testbed::TempDir dir;
    testbed::write_test_certs(testbed::shared_test_pki(), dir.path());
    auto r = tls_server_context(dir / "fullchain.pem", dir / "privkey.pem");
    EXPECT_TRUE(r.ok()) << r.message();
    return r ? *r : nullptr;
  }();
  return ctx;
}

std::atomic<int> handler_calls{0};

// A service whose handler names itself and echoes what it was given.
HttpService tagged_service(const std::string& tag, size_t max_body) {
  auto h = std::make_shared<const Handler>([tag](const HttpRequest& req) {
    ++handler_calls;
    return json_response(200, OJson{{"svc", tag}, {"path", req.path}, {"peer", req.peer}, {"body", req.body}});
  });
  return HttpService{max_body, h};
}

struct Exchange {
  bool handshake = false;
  std::string reply;
  bool clean_close = false;
  std::string error;
};

// One TLS connection: sends the bytes, optionally ends its side with
// close_notify, then reads until the server closes.
Exchange https_exchange(const std::string& ip, int port, const std::string& bytes, bool finish_after = false) {
  Exchange ex;
  Result<Socket> sock = Error("not tried");
  for (int i = 0; i < 50; ++i) {
    sock = tcp_connect(ip, port, 2000);
    if (sock) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!sock) {
    ex.error = sock.message();
    return ex;
  }
  (void)set_recv_timeout(*sock, 10000);
  static TlsContext client = tls_client_context(testbed::shared_test_pki().ca_pem);
  auto t = TlsStream::connect(*sock, client, ip);
  if (!t) {
    ex.error = t.message();
    return ex;
  }
  ex.handshake = true;
  if (auto st = (*t)->write_all(bytes); !st) ex.error = st.message();
  if (finish_after) (void)(*t)->finish();
  auto r = read_to_end(**t, 1 << 20);
  if (r) ex.reply = *r;
  else ex.error = r.message();
  ex.clean_close = (*t)->peer_closed_cleanly();
  return ex;
}

std::string get(const std::string& path) { return "GET " + path + " HTTP/1.1\r\nHost: h\r\n\r\n"; }
std::string post(const std::string& path, size_t n) {
  return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n" + std::string(n, 'b');
}

std::string body_of(const std::string& reply) {
  auto p = reply.find("\r\n\r\n");
  return p == std::string::npos ? "" : reply.substr(p + 4);
}

// Which side answered: "gateway", "console", "relay", or what came back.
std::string answered_by(const Exchange& ex) {
  if (!ex.handshake) return "no TLS: " + ex.error;
  if (ex.reply.find("\"relay_error\"") != std::string::npos) return "relay";
  auto j = parse_json(body_of(ex.reply));
  if (j && j->is_object() && j->contains("svc")) return (*j)["svc"].get<std::string>();
  return "unexpected: " + ex.reply;
}

int loopback_listener(size_t max_body) {
  int port = testbed::free_port();
  auto st = spawn_listener("127.0.0.1:" + std::to_string(port), test_server_tls(), max_body,
                           tagged_service("console", max_body).handler);
  EXPECT_TRUE(st.ok()) << st.message();
  return port;
}

}  // namespace

TEST(ServeConnection, OneRequestPerConnectionThenCloseNotify) {
  int port = loopback_listener(100);
  auto ex = https_exchange("127.0.0.1", port, get("/first") + get("/second"));
  ASSERT_TRUE(ex.handshake) << ex.error;
  EXPECT_EQ(ex.reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << ex.reply;
  EXPECT_NE(ex.reply.find("Connection: close\r\n"), std::string::npos);
  EXPECT_EQ(body_of(ex.reply), R"({"svc":"console","path":"/first","peer":"127.0.0.1","body":""})");
  EXPECT_EQ(ex.reply.find("HTTP/1.1", 1), std::string::npos) << "the second request is never answered";
  EXPECT_TRUE(ex.clean_close) << "the reply ends with close_notify";

  auto with_body = https_exchange("127.0.0.1", port, post("/p", 100));
  EXPECT_NE(with_body.reply.find(std::string(100, 'b')), std::string::npos) << "a body at the limit is served";
}

TEST(ServeConnection, RefusalsBeforeTheHandler) {
  int port = loopback_listener(100);
  struct Case {
    const char* name;
    std::string bytes;
    bool finish_after;
    std::string status_line, body;
  };
  const Case cases[] = {
      {"body over the limit", "POST /p HTTP/1.1\r\nContent-Length: 101\r\n\r\n", false,
       "HTTP/1.1 413 Payload Too Large", R"({"error":"request too large"})"},
      {"header block over the limit", "GET / HTTP/1.1\r\nX-Fill: " + std::string(70000, 'a'), false,
       "HTTP/1.1 413 Payload Too Large", R"({"error":"request too large"})"},
      {"body cut short by the client", "POST /p HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", true,
       "HTTP/1.1 400 Bad Request", R"({"error":"request body incomplete"})"},
  };
  for (const auto& c : cases) {
    int before = handler_calls;
    auto ex = https_exchange("127.0.0.1", port, c.bytes, c.finish_after);
    ASSERT_TRUE(ex.handshake) << c.name << ": " << ex.error;
    EXPECT_EQ(ex.reply.rfind(c.status_line + "\r\n", 0), 0u) << c.name << ": " << ex.reply;
    EXPECT_EQ(body_of(ex.reply), c.body) << c.name;
    EXPECT_TRUE(ex.clean_close) << c.name;
    EXPECT_EQ(handler_calls, before) << c.name << ": the handler must not run";
  }

  // A client that ends before its header block is complete gets nothing.
  auto early = https_exchange("127.0.0.1", port, "GET / HTTP/1.1\r\n", true);
  ASSERT_TRUE(early.handshake) << early.error;
  EXPECT_EQ(early.reply, "");

  // Plain HTTP on the TLS port: no HTTP reply comes back.
  auto sock = tcp_connect("127.0.0.1", port, 2000);
  ASSERT_TRUE(sock.ok());
  (void)set_recv_timeout(*sock, 5000);
  SocketStream plain(*sock);
  ASSERT_TRUE(plain.write_all(get("/")));
  auto back = read_to_end(plain, 1 << 16);
  EXPECT_EQ((back ? *back : std::string()).find("HTTP/1.1"), std::string::npos);
}

TEST(ServeConnection, AThrowingHandlerGetsA500AndTheListenerCarriesOn) {
  int port = testbed::free_port();
  auto h = std::make_shared<const Handler>([](const HttpRequest& req) -> HttpResponse {
    if (req.path == "/boom") throw std::runtime_error("boom");
    return json_response(200, OJson{{"ok", true}});
  });
  ASSERT_TRUE(spawn_listener("127.0.0.1:" + std::to_string(port), test_server_tls(), 10, h).ok());
  auto boom = https_exchange("127.0.0.1", port, get("/boom"));
  EXPECT_EQ(boom.reply.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << boom.reply;
  EXPECT_EQ(body_of(boom.reply), R"({"error":"internal error"})");
  auto fine = https_exchange("127.0.0.1", port, get("/"));
  EXPECT_EQ(body_of(fine.reply), R"({"ok":true})");
}

TEST(StartListener, RetriesThenSucceeds) {
  int tries = 0;
  start_listener_with_retries(
      "test",
      [&]() -> Status {
        ++tries;
        if (tries < 3) return Error(ErrorKind::Io, "not yet");
        return ok_status();
      },
      std::chrono::milliseconds(1));
  EXPECT_EQ(tries, 3);
}

// A bridge holding the gateway address inside the test's namespace, as the
// host's own bridge does.
void add_gateway_address() {
  ASSERT_EQ(testbed::sh("ip link add gw0 type bridge && ip addr add 10.0.9.1/24 dev gw0 && ip link set gw0 up"), 0);
}

TEST(Listeners, GatewayAndConsoleOnTheirOwnPorts) {
  test_server_tls();  // made once, before the namespace child forks
  testbed::run_in_netns([] {
    add_gateway_address();
    auto tls = test_server_tls();
    ASSERT_TRUE(listen_gateway(kGatewayIp, tls, tagged_service("gateway", 200)).ok());
    ASSERT_TRUE(listen_console(9443, tls, tagged_service("console", 100)).ok());

    struct Case {
      const char* ip;
      int port;
      std::string request;
      const char* expect;
    };
    const Case cases[] = {
        {"10.0.9.1", 443, get("/relay/anthropic/v1/messages"), "relay"},
        {"10.0.9.1", 443, get("/relay/"), "relay"},
        {"10.0.9.1", 443, get("/relayx"), "gateway"},
        {"10.0.9.1", 443, get("/Relay/x"), "gateway"},
        {"10.0.9.1", 443, get("/relay"), "gateway"},
        {"10.0.9.1", 443, get("/v1/events"), "gateway"},
        {"10.0.9.1", 443, post("/v1/events", 150), "gateway"},  // within the gateway's own limit
        // The console port reached at the gateway address is a gateway
        // connection for the relay, and the console for everything else.
        {"10.0.9.1", 9443, get("/relay/x"), "relay"},
        {"10.0.9.1", 9443, get("/api/status"), "console"},
        {"127.0.0.1", 9443, get("/relay/x"), "console"},
        {"127.0.0.1", 9443, get("/"), "console"},
    };
    for (const auto& c : cases) {
      auto ex = https_exchange(c.ip, c.port, c.request);
      EXPECT_EQ(answered_by(ex), c.expect) << c.ip << ":" << c.port << " " << c.request.substr(0, 30);
      EXPECT_TRUE(ex.clean_close) << c.ip << ":" << c.port << " " << c.request.substr(0, 30);
    }
    auto big = https_exchange("127.0.0.1", 9443, post("/", 150));
    EXPECT_EQ(big.reply.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << "the console keeps its own limit";

    // Nothing else listens on 443.
    EXPECT_FALSE(tcp_connect("127.0.0.1", 443, 2000).ok());
  });
}

TEST(Listeners, SharedPortChoosesTheServiceByLocalAddress) {
  test_server_tls();  // made once, before the namespace child forks
  testbed::run_in_netns([] {
    add_gateway_address();
    auto tls = test_server_tls();
    ASSERT_TRUE(listen_shared_port(tls, kGatewayIp, tagged_service("gateway", 200), tagged_service("console", 100)).ok());

    struct Case {
      const char* ip;
      std::string request;
      const char* expect;
    };
    const Case cases[] = {
        {"10.0.9.1", get("/v1/grants/snapshot"), "gateway"},
        {"10.0.9.1", get("/relay/graph/v1.0/me"), "relay"},
        {"10.0.9.1", post("/v1/events", 150), "gateway"},
        {"127.0.0.1", get("/api/status"), "console"},
        {"127.0.0.1", get("/relay/graph/v1.0/me"), "console"},
    };
    for (const auto& c : cases) {
      auto ex = https_exchange(c.ip, 443, c.request);
      EXPECT_EQ(answered_by(ex), c.expect) << c.ip << " " << c.request.substr(0, 30);
    }
    auto big = https_exchange("127.0.0.1", 443, post("/", 150));
    EXPECT_EQ(big.reply.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << "console limit on the shared port";
  });
}

TEST(Listeners, StartFailsAfterTenTriesWithTheFatalMessage) {
  test_server_tls();  // made once, before the namespace child forks
  testbed::run_in_netns([] {
    // Without the gateway address the bind fails; with it held by another
    // socket too. Both end the process after ten tries.
    struct Case {
      bool add_address;
      const char* why;
    };
    for (Case c : {Case{false, "Cannot assign requested address"}, Case{true, "Address already in use"}}) {
      if (c.add_address) add_gateway_address();
      Result<Socket> holder = Error("none");
      if (c.add_address) {
        holder = tcp_listen("10.0.9.1:443");
        ASSERT_TRUE(holder.ok()) << holder.message();
      }
      int fds[2];
      ASSERT_EQ(::pipe(fds), 0);
      std::fflush(stderr);
      pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        start_listener_with_retries(
            "gateway on 10.0.9.1:443",
            [tls = test_server_tls()] {
              std::fputs("try\n", stderr);
              return listen_gateway(kGatewayIp, tls, tagged_service("gateway", 1));
            },
            std::chrono::milliseconds(5));
        ::_exit(0);  // not reached when every try fails
      }
      ::close(fds[1]);
      std::string err;
      char buf[512];
      ssize_t n;
      while ((n = ::read(fds[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(n));
      ::close(fds[0]);
      int status = 0;
      ::waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 1) << err;
      std::string tries;
      for (int i = 0; i < 10; ++i) tries += "try\n";
      EXPECT_EQ(err.rfind(tries, 0), 0u) << err;
      std::string last = err.substr(tries.size());
      EXPECT_EQ(last.rfind("[drovix-host] gateway on 10.0.9.1:443: ", 0), 0u) << err;
      EXPECT_NE(last.find(c.why), std::string::npos) << err;
      EXPECT_EQ(last.back(), '\n');
      EXPECT_EQ(std::count(last.begin(), last.end(), '\n'), 1) << "one line, after exactly ten tries: " << err;
    }
  });
}
