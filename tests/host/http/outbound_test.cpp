#include "host/src/http/outbound.hpp"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/testbed/http_peer.hpp"
#include "tests/testbed/testbed.hpp"

namespace drovix::host {
namespace {

using namespace std::chrono_literals;
using testbed::HttpPeer;
using testbed::PeerReply;
using testbed::PeerRequest;

HttpClient& pooled_client() {
  static HttpClient c(HttpClientOptions{true, 100, ""});
  return c;
}

OutboundRequest get(const std::string& url) {
  OutboundRequest r;
  r.url = url;
  r.timeout = 10s;
  return r;
}

std::string closed_port_url() { return "http://127.0.0.1:" + std::to_string(testbed::free_port()) + "/x"; }

TEST(ReadHttpOutcome, AnyReplyIsStatusAndTextOnlyNoReplyIsAnError) {
  HttpPeer peer([](const PeerRequest& r) {
    PeerReply p;
    if (r.target == "/missing") {
      p.status = 404;
      p.body = "no";
    } else if (r.target == "/latin1") {
      p.body = "caf\xE9";
    } else if (r.target == "/cut") {
      p.raw = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
    } else if (r.target == "/big") {
      p.body = std::string(kMaxReplyText + 1, 'a');
    } else {
      p.status = 500;
      p.body = "ü fine";
    }
    return p;
  });
  struct Case {
    std::string path;
    uint16_t status;
    std::string text;
  } cases[] = {
      {"/missing", 404, "no"},
      {"/error", 500, "ü fine"},
      {"/latin1", 200, ""},  // not UTF-8
      {"/cut", 200, ""},     // the body broke off
      {"/big", 200, ""},     // longer than the text cap
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto out = read_http_outcome(pooled_client().send(get(peer.url(c.path))));
    ASSERT_TRUE(out.ok()) << out.message();
    EXPECT_EQ(out->status, c.status);
    EXPECT_EQ(out->text, c.text);
  }

  // No reply at all: one line naming the URL, the kind and the cause.
  HttpPeer resetting([](const PeerRequest&) {
    PeerReply p;
    p.reset = true;
    return p;
  });
  struct Failure {
    std::string url, cause;
  } failures[] = {
      {closed_port_url(), "Connection refused"},
      {resetting.url("/r"), "reset"},
  };
  for (const auto& f : failures) {
    auto out = read_http_outcome(pooled_client().send(get(f.url)));
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.message().rfind(f.url + ": Network Error: ", 0), 0u) << out.message();
    EXPECT_NE(out.message().find(f.cause), std::string::npos) << out.message();
    EXPECT_EQ(out.message().find('\n'), std::string::npos);
  }
}

TEST(OutboundClient, TimeOutBoundsTheWholeExchange) {
  HttpPeer peer([](const PeerRequest&) {
    PeerReply p;
    p.delay = 1s;
    return p;
  });
  OutboundRequest r = get(peer.url("/slow"));
  r.timeout = 300ms;
  auto start = std::chrono::steady_clock::now();
  auto out = pooled_client().send(r);
  ASSERT_FALSE(out.ok());
  EXPECT_NE(out.message().find("timed out"), std::string::npos) << out.message();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
}

TEST(OutboundClient, SendsMethodHeadersAndBodyAsGivenAndNothingElse) {
  HttpPeer peer;
  OutboundRequest put = get(peer.url("/a?b=1"));
  put.method = "PUT";
  put.headers = {{"X-One", "1"}, {"x-empty", ""}, {"Content-Length", "999"}};
  put.body = std::string(5000, 'z');  // large enough that libcurl would ask for 100-continue
  OutboundRequest empty_post = get(peer.url("/p"));
  empty_post.method = "POST";
  empty_post.body = "";
  OutboundRequest plain_get = get(peer.url("/g"));

  for (auto* r : {&put, &empty_post, &plain_get}) ASSERT_TRUE(pooled_client().send(*r).ok());
  auto seen = peer.requests();
  ASSERT_EQ(seen.size(), 3u);

  EXPECT_EQ(seen[0].method, "PUT");
  EXPECT_EQ(seen[0].target, "/a?b=1");
  EXPECT_EQ(seen[0].header("X-One"), "1");
  EXPECT_EQ(seen[0].header("x-empty"), "");
  EXPECT_EQ(seen[0].header("content-length"), "5000");
  EXPECT_EQ(seen[0].body, std::string(5000, 'z'));
  EXPECT_EQ(seen[1].method, "POST");
  EXPECT_EQ(seen[1].header("content-length"), "0");
  EXPECT_EQ(seen[2].method, "GET");
  EXPECT_FALSE(seen[2].header("content-length"));
  for (const auto& s : seen) {
    EXPECT_FALSE(s.header("expect")) << s.target;
    EXPECT_FALSE(s.header("accept")) << s.target;
    EXPECT_FALSE(s.header("content-type")) << s.target;
    EXPECT_TRUE(s.header("user-agent")) << s.target;
  }
}

TEST(OutboundClient, RefusesRequestsThatWouldBreakTheFraming) {
  HttpPeer peer;
  OutboundRequest bad_value = get(peer.url("/"));
  bad_value.headers = {{"X-A", "v\r\nX-Injected: 1"}};
  OutboundRequest bad_name = get(peer.url("/"));
  bad_name.headers = {{"X A", "v"}};
  OutboundRequest bad_method = get(peer.url("/"));
  bad_method.method = "GET /x HTTP/1.1\r\n";
  for (auto* r : {&bad_value, &bad_name, &bad_method}) {
    auto out = pooled_client().send(*r);
    EXPECT_FALSE(out.ok());
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(peer.requests().size(), 0u);
}

TEST(OutboundClient, FollowsRedirectsWithoutCredentialsAndWithinTheLimit) {
  HttpPeer peer([](const PeerRequest& r) {
    PeerReply p;
    if (r.target.rfind("/hop/", 0) == 0) {
      int left = std::stoi(r.target.substr(5));
      p.status = 302;
      p.headers = {{"Location", left > 1 ? "/hop/" + std::to_string(left - 1) : "/end"}};
      p.body = "redirect body";
    } else if (r.target == "/see-other") {
      p.status = 303;
      p.headers = {{"Location", "/end"}};
    } else if (r.target == "/temporary") {
      p.status = 307;
      p.headers = {{"Location", "/end"}};
      p.body = "kept";
    } else {
      p.body = "end:" + r.method;
    }
    return p;
  });

  // A POST redirected with 303 arrives as a GET without body, credentials
  // or cookies.
  OutboundRequest post = get(peer.url("/see-other"));
  post.method = "POST";
  post.body = "payload";
  post.headers = {{"Authorization", "Bearer secret"}, {"Cookie", "a=b"}, {"X-Keep", "1"}};
  auto out = pooled_client().send(post);
  ASSERT_TRUE(out.ok()) << out.message();
  EXPECT_EQ(out->status, 200);
  EXPECT_EQ(out->body, "end:GET");
  EXPECT_EQ(out->url, peer.url("/end"));
  auto seen = peer.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].header("authorization"), "Bearer secret");
  EXPECT_EQ(seen[1].method, "GET");
  EXPECT_EQ(seen[1].body, "");
  EXPECT_FALSE(seen[1].header("authorization"));
  EXPECT_FALSE(seen[1].header("cookie"));
  EXPECT_EQ(seen[1].header("x-keep"), "1");

  // A 307 keeps a POST's method, so it is not followed but handed back.
  OutboundRequest post307 = get(peer.url("/temporary"));
  post307.method = "POST";
  post307.body = "x";
  out = pooled_client().send(post307);
  ASSERT_TRUE(out.ok()) << out.message();
  EXPECT_EQ(out->status, 307);
  EXPECT_EQ(out->body, "kept");
  // A GET follows it.
  out = pooled_client().send(get(peer.url("/temporary")));
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out->body, "end:GET");

  // Five redirects in a row are followed; a sixth is a failure.
  out = pooled_client().send(get(peer.url("/hop/5")));
  ASSERT_TRUE(out.ok()) << out.message();
  EXPECT_EQ(out->body, "end:GET");
  out = pooled_client().send(get(peer.url("/hop/6")));
  ASSERT_FALSE(out.ok());
  EXPECT_NE(out.message().find("Too Many Redirects"), std::string::npos) << out.message();
}

TEST(OutboundClient, StreamsTheFinalReplyOnly) {
  std::string big(200000, 'q');
  HttpPeer peer([&](const PeerRequest& r) {
    PeerReply p;
    if (r.target == "/start") {
      p.status = 301;
      p.headers = {{"Location", "/data"}};
      p.body = "not this";
    } else {
      p.status = 429;
      p.headers = {{"Retry-After", "7"}};
      p.body = big;
    }
    return p;
  });
  OutboundRequest r = get(peer.url("/start"));
  std::vector<std::string> events;
  std::string streamed;
  r.on_head = [&](const OutboundReply& head) {
    events.push_back("head " + std::to_string(head.status) + " " + head.header("retry-after").value_or("-"));
    return true;
  };
  r.on_body = [&](std::string_view piece) {
    if (streamed.empty()) events.push_back("body");
    streamed.append(piece);
    return true;
  };
  auto out = pooled_client().send(r);
  ASSERT_TRUE(out.ok()) << out.message();
  EXPECT_EQ(events, (std::vector<std::string>{"head 429 7", "body"}));
  EXPECT_EQ(streamed, big);
  EXPECT_TRUE(out->body.empty());
  EXPECT_EQ(out->reason, "Too Many Requests");

  // The receiver can stop the transfer; what came before stays.
  OutboundRequest stop = get(peer.url("/data"));
  size_t got = 0;
  stop.on_body = [&](std::string_view piece) {
    got += piece.size();
    return false;
  };
  out = pooled_client().send(stop);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out->status, 429);
  EXPECT_FALSE(out->body_error.empty());
  EXPECT_GT(got, 0u);
}

TEST(OutboundClient, GeneralClientReusesConnectionsRelayClientNever) {
  HttpPeer peer;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(http_agent().send(get(peer.url("/g"))).ok());
  EXPECT_EQ(peer.connections(), 1);

  HttpPeer relay_peer;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(relay_agent().send(get(relay_peer.url("/r"))).ok());
  EXPECT_EQ(relay_peer.connections(), 3);
  EXPECT_EQ(relay_agent().idle_count(), 0u);
}

TEST(OutboundClient, KeepsAtMostOneIdleConnectionPerHostAndABoundInAll) {
  HttpPeer a([](const PeerRequest&) {
    PeerReply p;
    p.delay = 300ms;
    return p;
  });
  HttpPeer b;
  HttpClient client(HttpClientOptions{true, 2, ""});
  // Two calls at once to the same host need two connections; one stays.
  std::thread t1([&] { EXPECT_TRUE(client.send(get(a.url("/1"))).ok()); });
  std::thread t2([&] { EXPECT_TRUE(client.send(get(a.url("/2"))).ok()); });
  t1.join();
  t2.join();
  EXPECT_EQ(a.connections(), 2);
  EXPECT_EQ(client.idle_count(), 1u);
  ASSERT_TRUE(client.send(get(a.url("/3"))).ok());
  EXPECT_EQ(a.connections(), 2);  // the idle one was reused

  ASSERT_TRUE(client.send(get(b.url("/"))).ok());
  EXPECT_EQ(client.idle_count(), 2u);
  HttpPeer c;
  ASSERT_TRUE(client.send(get(c.url("/"))).ok());
  EXPECT_EQ(client.idle_count(), 2u);  // full: the third host's connection is closed
}

// "openssl s_server" on a loopback port, answering every GET with a page.
class TlsPeer {
 public:
  TlsPeer(const testbed::TempDir& dir, std::vector<std::string> extra) : port_(testbed::free_port()) {
    std::vector<std::string> args = {"openssl", "s_server", "-quiet", "-www", "-accept",
                                     "127.0.0.1:" + std::to_string(port_), "-cert", dir / "cert.pem",
                                     "-key", dir / "key.pem"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execvp("openssl", argv.data());
      ::_exit(127);
    }
    for (int i = 0; i < 200 && !listening(); ++i) std::this_thread::sleep_for(20ms);
  }
  ~TlsPeer() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  bool listening() const {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }
  int port_;
  pid_t pid_ = -1;
};

TEST(OutboundClient, TlsTrustsOnlyTheGivenAnchorsAndTheModernSuites) {
  testbed::TempDir dir;
  ASSERT_EQ(testbed::sh("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -subj /CN=127.0.0.1 "
                        "-addext subjectAltName=IP:127.0.0.1 -nodes -days 2 -keyout " + (dir / "key.pem") +
                        " -out " + (dir / "cert.pem") + " 2>/dev/null"),
            0);
  HttpClient trusting(HttpClientOptions{true, 100, testbed::read_text(dir / "cert.pem")});
  HttpClient public_roots_only(HttpClientOptions{true, 100, ""});

  struct Case {
    const char* what;
    std::vector<std::string> server_args;
    const HttpClient* client;
    bool ok;
  } cases[] = {
      {"TLS 1.3", {}, &trusting, true},
      {"TLS 1.2 with an AEAD suite", {"-no_tls1_3", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"}, &trusting, true},
      {"TLS 1.2 with a CBC suite only", {"-no_tls1_3", "-cipher", "ECDHE-ECDSA-AES128-SHA"}, &trusting, false},
      {"TLS 1.1 only", {"-tls1_1", "-cipher", "ALL:@SECLEVEL=0"}, &trusting, false},
      {"untrusted certificate", {}, &public_roots_only, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TlsPeer peer(dir, c.server_args);
    auto out = c.client->send(get(peer.url()));
    EXPECT_EQ(out.ok(), c.ok) << (out.ok() ? std::to_string(out->status) : out.message());
    if (out.ok()) {
      EXPECT_EQ(out->status, 200);
    } else {
      EXPECT_NE(out.message().find("TLS Error"), std::string::npos) << out.message();
    }
  }
}

TEST(OutboundClient, ClickHouseGetsItsOwnClientOnlyForHttpsWithACaFile) {
  struct Case {
    const char* url;
    const char* ca_file;
    bool own;
  } cases[] = {
      {"https://ch.example:8443/", "/etc/ch-ca.pem", true},
      {"https://ch.example:8443/", "", false},
      {"HTTPS://ch.example:8443/", "/etc/ch-ca.pem", false},
      {"http://127.0.0.1:8123/", "/etc/ch-ca.pem", false},
  };
  for (const auto& c : cases) EXPECT_EQ(clickhouse_needs_own_client(c.url, c.ca_file), c.own) << c.url;
}

}  // namespace
}  // namespace drovix::host
