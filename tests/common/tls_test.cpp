#include "common/tls.hpp"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "common/net.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix;

namespace {

// A TLS server on 127.0.0.1 that reads what the client sends first, answers
// "hello\n" and ends the session with close_notify. One connection at a time.
class TinyTlsServer {
 public:
  explicit TinyTlsServer(TlsContext ctx) : ctx_(std::move(ctx)) {
    auto l = tcp_listen("127.0.0.1:0");
    EXPECT_TRUE(l.ok()) << l.message();
    listener_ = std::move(*l);
    port_ = *local_port(listener_);
    thread_ = std::thread([this] { loop(); });
  }
  ~TinyTlsServer() {
    stop_ = true;
    ::shutdown(listener_.fd(), SHUT_RDWR);
    thread_.join();
  }
  int port() const { return port_; }
  // Errors the server saw while serving, one per line.
  std::string errors() const {
    std::lock_guard<std::mutex> g(mu_);
    return errors_;
  }

 private:
  void loop() {
    while (!stop_) {
      auto c = tcp_accept(listener_);
      if (!c) continue;
      (void)set_recv_timeout(*c, 5000);
      auto t = TlsStream::accept(*c, ctx_);
      if (!t) continue;
      char buf[256];
      auto r = (*t)->read_some(buf, sizeof buf);
      if (!r) {
        std::lock_guard<std::mutex> g(mu_);
        errors_ += r.message() + "\n";
        continue;
      }
      if ((*t)->write_all("hello\n")) (void)(*t)->finish();
    }
  }

  TlsContext ctx_;
  Socket listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mu_;
  std::string errors_;
};

TlsContext server_ctx(const std::string& dir, const std::string& chain, const std::string& key) {
  testbed::write_text(dir + "/fullchain.pem", chain);
  testbed::write_text(dir + "/privkey.pem", key);
  auto ctx = tls_server_context(dir + "/fullchain.pem", dir + "/privkey.pem");
  EXPECT_TRUE(ctx.ok()) << ctx.message();
  return ctx ? *ctx : nullptr;
}

struct SClientResult {
  int status;
  std::string out;
};

SClientResult s_client(int port, const std::string& ca_file, const std::string& args) {
  std::string cmd = "echo ping | timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                    " -servername localhost -ign_eof -CAfile " + ca_file + " -verify_return_error " + args + " 2>&1";
  std::string marker = "; echo \"EXIT=$?\"";
  std::string out = testbed::sh_out("( " + cmd + " )" + marker);
  auto pos = out.rfind("EXIT=");
  int status = pos == std::string::npos ? -1 : std::atoi(out.c_str() + pos + 5);
  return {status, out};
}

}  // namespace

TEST(PemSections, StrictAndLenientReading) {
  const auto& pki = testbed::shared_test_pki();
  std::string text = "leading text\n" + pki.ca_pem + testbed::damaged_pem_section() + pki.key_pem + "trailer\n";

  auto strict = read_pem_sections(text, false);
  ASSERT_FALSE(strict.ok());
  EXPECT_NE(strict.message().find("PEM"), std::string::npos) << strict.message();

  auto lenient = read_pem_sections(text, true);
  ASSERT_TRUE(lenient.ok()) << lenient.message();
  ASSERT_EQ(lenient->size(), 2u);
  EXPECT_EQ((*lenient)[0].label, "CERTIFICATE");
  EXPECT_EQ((*lenient)[1].label, "PRIVATE KEY");

  auto none = read_pem_sections("no sections here\n", false);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());

  std::string cut = pki.ca_pem.substr(0, pki.ca_pem.find("-----END"));
  EXPECT_FALSE(read_pem_sections(cut, false).ok()) << "a section without its end line is malformed";
}

TEST(TlsServerContext, RefusesUnusableMaterial) {
  const auto& pki = testbed::shared_test_pki();
  struct Case {
    const char* name;
    std::string chain, key;
    const char* expect;  // part of the error text
  };
  const Case cases[] = {
      {"key file with certificates only", pki.cert_pem + pki.ca_pem, pki.cert_pem + pki.ca_pem, "no private key"},
      {"key of another certificate", pki.cert_pem, pki.other_key_pem, "key values mismatch"},
      {"empty chain file", "", pki.key_pem, "empty chain"},
      {"damaged section in the chain", pki.cert_pem + testbed::damaged_pem_section(), pki.key_pem, "PEM"},
      {"damaged section before the key", pki.cert_pem, testbed::damaged_pem_section() + pki.key_pem, "PEM"},
  };
  for (const auto& c : cases) {
    testbed::TempDir dir;
    testbed::write_text(dir / "fullchain.pem", c.chain);
    testbed::write_text(dir / "privkey.pem", c.key);
    auto r = tls_server_context(dir / "fullchain.pem", dir / "privkey.pem");
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_NE(r.message().find(c.expect), std::string::npos) << c.name << ": " << r.message();
  }

  testbed::TempDir dir;
  testbed::write_text(dir / "privkey.pem", pki.key_pem);
  auto missing = tls_server_context(dir / "fullchain.pem", dir / "privkey.pem");
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.message().find("No such file or directory"), std::string::npos) << missing.message();
}

TEST(TlsServerContext, AcceptsEveryKeyFormAndSkipsOtherSections) {
  const auto& pki = testbed::shared_test_pki();
  struct Case {
    const char* name;
    std::string chain, key;
    int chain_extra;  // certificates after the end-entity one
  };
  const Case cases[] = {
      {"cert, key, cert in the chain file", pki.cert_pem + pki.key_pem + pki.ca_pem, pki.key_pem, 1},
      {"certificate before a PKCS#8 key", pki.cert_pem, pki.ca_pem + pki.key_pem, 0},
      {"PKCS#1 RSA key", pki.cert_pem + pki.ca_pem, testbed::rsa_key_as_pkcs1(pki.key_pem), 1},
      {"SEC1 EC key", pki.ec_cert_pem, pki.ec_key_pem, 0},
  };
  for (const auto& c : cases) {
    testbed::TempDir dir;
    testbed::write_text(dir / "fullchain.pem", c.chain);
    testbed::write_text(dir / "privkey.pem", c.key);
    auto r = tls_server_context(dir / "fullchain.pem", dir / "privkey.pem");
    ASSERT_TRUE(r.ok()) << c.name << ": " << r.message();
    STACK_OF(X509)* extra = nullptr;
    ASSERT_EQ(SSL_CTX_get0_chain_certs(r->get(), &extra), 1);
    EXPECT_EQ(extra ? sk_X509_num(extra) : 0, c.chain_extra) << c.name;
  }
}

// The server's protocol, suite and group policy as a real OpenSSL client
// sees it.
TEST(TlsServerPolicy, OpenSslClientSeesOnlyTheAllowedSet) {
  const auto& pki = testbed::shared_test_pki();
  testbed::TempDir dir;
  testbed::write_text(dir / "ca.pem", pki.ca_pem);
  TinyTlsServer rsa(server_ctx(dir.path() + "/rsa", pki.cert_pem + pki.ca_pem, pki.key_pem));
  TinyTlsServer ec(server_ctx(dir.path() + "/ec", pki.ec_cert_pem + pki.ca_pem, pki.ec_key_pem));

  struct Case {
    const char* args;
    bool ec_server;
    bool accepted;
    const char* expect;  // in s_client's output when accepted
  };
  const Case cases[] = {
      {"", false, true, "X25519"},
      {"-tls1_3", false, true, "TLS_AES_256_GCM_SHA384"},
      {"-tls1_3 -ciphersuites TLS_CHACHA20_POLY1305_SHA256", false, true, "TLS_CHACHA20_POLY1305_SHA256"},
      {"-tls1_3 -ciphersuites TLS_AES_128_CCM_SHA256", false, false, ""},
      {"-tls1_2 -cipher ECDHE-RSA-AES128-GCM-SHA256", false, true, "ECDHE-RSA-AES128-GCM-SHA256"},
      // The server follows the client's order of preference.
      {"-tls1_2 -cipher ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384", false, true,
       "ECDHE-RSA-CHACHA20-POLY1305"},
      {"-tls1_2 -cipher ECDHE-ECDSA-AES256-GCM-SHA384", true, true, "ECDHE-ECDSA-AES256-GCM-SHA384"},
      {"-tls1_2 -cipher ECDHE-RSA-AES128-SHA", false, false, ""},
      {"-tls1_2 -cipher AES128-GCM-SHA256", false, false, ""},
      {"-tls1_1 -cipher DEFAULT@SECLEVEL=0", false, false, ""},
      {"-groups X25519", false, true, "Server Temp Key: X25519"},
      {"-tls1_2 -groups X25519 -cipher ECDHE-RSA-AES256-GCM-SHA384", false, true, "Server Temp Key: X25519"},
      {"-groups P-384", false, true, "secp384r1"},
      {"-groups P-521", false, false, ""},
  };
  for (const auto& c : cases) {
    int port = c.ec_server ? ec.port() : rsa.port();
    auto r = s_client(port, dir / "ca.pem", c.args);
    if (c.accepted) {
      EXPECT_EQ(r.status, 0) << c.args << "\n" << r.out;
      EXPECT_NE(r.out.find("Verify return code: 0 (ok)"), std::string::npos) << c.args << "\n" << r.out;
      EXPECT_NE(r.out.find(c.expect), std::string::npos) << c.args << "\n" << r.out;
      EXPECT_NE(r.out.find("hello"), std::string::npos) << c.args << "\n" << r.out;
    } else {
      EXPECT_NE(r.status, 0) << c.args << " was accepted:\n" << r.out;
      EXPECT_EQ(r.out.find("hello"), std::string::npos) << c.args << "\n" << r.out;
    }
  }
}

TEST(TlsClient, VerifiesChainAndNameAndSeesCloseNotify) {
  const auto& pki = testbed::shared_test_pki();
  testbed::TempDir dir;
  TinyTlsServer server(server_ctx(dir.path(), pki.cert_pem + pki.ca_pem, pki.key_pem));

  struct Case {
    const char* name;
    std::string trust;
    std::string host;
    bool ok;
  };
  const Case cases[] = {
      {"own CA, IP name", pki.ca_pem, "127.0.0.1", true},
      {"own CA, DNS name", pki.ca_pem, "localhost", true},
      {"own CA, wrong name", pki.ca_pem, "wrong.example", false},
      {"own CA, wrong IP", pki.ca_pem, "127.0.0.2", false},
      {"unknown CA", testbed::make_test_pki("localhost").ca_pem, "localhost", false},
      {"damaged trust, then the CA", testbed::damaged_pem_section() + pki.ca_pem, "localhost", true},
  };
  for (const auto& c : cases) {
    auto ctx = tls_client_context(c.trust);
    auto sock = tcp_connect("127.0.0.1", server.port(), 5000);
    ASSERT_TRUE(sock.ok()) << sock.message();
    (void)set_recv_timeout(*sock, 5000);
    auto t = TlsStream::connect(*sock, ctx, c.host);
    if (!c.ok) {
      ASSERT_FALSE(t.ok()) << c.name;
      EXPECT_NE(t.message().find("certificate verify failed"), std::string::npos) << c.name << ": " << t.message();
      continue;
    }
    ASSERT_TRUE(t.ok()) << c.name << ": " << t.message();
    ASSERT_TRUE((*t)->write_all("ping"));
    auto body = read_to_end(**t, 1000);
    ASSERT_TRUE(body.ok()) << body.message();
    EXPECT_EQ(*body, "hello\n");
    EXPECT_TRUE((*t)->peer_closed_cleanly()) << c.name;
  }
}

TEST(TlsClient, RefusesServersOutsideTheSuiteSet) {
  const auto& pki = testbed::shared_test_pki();
  testbed::TempDir dir;
  testbed::write_text(dir / "cert.pem", pki.cert_pem);
  testbed::write_text(dir / "key.pem", pki.key_pem);
  int port = testbed::free_port();
  std::string cmd = "timeout 20 openssl s_server -quiet -naccept 1 -accept 127.0.0.1:" + std::to_string(port) +
                    " -cert " + (dir / "cert.pem") + " -key " + (dir / "key.pem") +
                    " -tls1_2 -cipher ECDHE-RSA-AES128-SHA >/dev/null 2>&1 &";
  ASSERT_EQ(testbed::sh(cmd), 0);
  Result<Socket> sock = Error("not connected");
  for (int i = 0; i < 100 && !sock.ok(); ++i) {
    sock = tcp_connect("127.0.0.1", port, 1000);
    if (!sock.ok()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(sock.ok()) << sock.message();
  (void)set_recv_timeout(*sock, 5000);
  auto t = TlsStream::connect(*sock, tls_client_context(pki.ca_pem), "localhost");
  ASSERT_FALSE(t.ok()) << "a CBC-only server was accepted";
  EXPECT_EQ(t.error().kind, ErrorKind::Tls) << t.message();
}

TEST(TlsStreams, BareCloseIsEndOfStreamAndWritesToAGonePeerFail) {
  const auto& pki = testbed::shared_test_pki();
  testbed::TempDir dir;
  auto ctx = server_ctx(dir.path(), pki.cert_pem, pki.key_pem);
  auto l = tcp_listen("127.0.0.1:0");
  ASSERT_TRUE(l.ok());
  int port = *local_port(*l);
  // The client sends one byte and closes the TCP connection without
  // close_notify.
  // (A half-close first, so that the server's unread session tickets do
  // not turn the close into a reset before the server has seen the end.)
  auto run_client = [&] {
    auto s = tcp_connect("127.0.0.1", port, 5000);
    ASSERT_TRUE(s.ok());
    auto t = TlsStream::connect(*s, tls_client_context(pki.ca_pem), "localhost");
    ASSERT_TRUE(t.ok()) << t.message();
    ASSERT_TRUE((*t)->write_all("x"));
    ::shutdown(s->fd(), SHUT_WR);
    char b[4096];
    while (::recv(s->fd(), b, sizeof b, 0) > 0) {
    }
  };
  auto accept_one = [&] {
    auto c = tcp_accept(*l);
    EXPECT_TRUE(c.ok());
    (void)set_recv_timeout(*c, 5000);
    return std::move(*c);
  };

  {
    std::thread client(run_client);
    Socket c = accept_one();
    auto t = TlsStream::accept(c, ctx);
    ASSERT_TRUE(t.ok());
    char b[8];
    auto r = (*t)->read_some(b, sizeof b);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(*r, 1u);
    auto eof = (*t)->read_some(b, sizeof b);
    ASSERT_TRUE(eof.ok()) << eof.message();
    EXPECT_EQ(*eof, 0u);
    EXPECT_FALSE((*t)->peer_closed_cleanly()) << "a bare TCP close is not a clean TLS end";
    ::shutdown(c.fd(), SHUT_RDWR);
    client.join();
  }
  {
    // A write on a socket that can no longer send fails with EPIPE; the
    // SIGPIPE that comes with it would end this test binary.
    std::thread client(run_client);
    Socket c = accept_one();
    auto t = TlsStream::accept(c, ctx);
    ASSERT_TRUE(t.ok());
    char b[8];
    ASSERT_TRUE((*t)->read_some(b, sizeof b).ok());
    ::shutdown(c.fd(), SHUT_WR);
    auto st = (*t)->write_all("more");
    ASSERT_FALSE(st.ok());
    EXPECT_NE(st.message().find("Broken pipe"), std::string::npos) << st.message();
    ::shutdown(c.fd(), SHUT_RDWR);
    client.join();
  }
}
