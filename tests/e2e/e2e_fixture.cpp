#include "tests/e2e/e2e_fixture.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/testbed/certs.hpp"
#include "tests/testbed/clickhouse.hpp"
#include "tests/testbed/testbed.hpp"

namespace fs = std::filesystem;
using drovix::OJson;

namespace e2e {
namespace {

Home g_home;
int g_clickhouse_port = 0;

class SuiteHome : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(testbed::is_root()) << "the end-to-end suite runs as root";
    char tmpl[] = "/tmp/drovix-e2e-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    g_home.dir = tmpl;
    // VM units run as users of their own and must reach their files.
    fs::permissions(g_home.dir, fs::perms(0755));
    g_home.certs = g_home.dir + "/fleetcerts";
    fs::create_directories(g_home.certs);

    auto pki = testbed::make_test_pki(kHostName, {"127.0.0.1", "10.0.9.1"});
    testbed::write_test_certs(pki, g_home.certs);
    g_home.ca_pem = pki.ca_pem;

    const auto& ch = testbed::clickhouse_server();
    ASSERT_TRUE(ch.ok);
    g_clickhouse_port = ch.http_port;

    const std::string src = testbed::source_dir();
    OJson host = {{"hostname", kHostName},
                  {"tarvo", src + "/tools/standins/tarvo"},
                  {"agent_bin", testbed::binary_dir() + "/agent/drovix-agent"},
                  {"clickhouse", {{"url", ch.url}}},
                  {"origin", {{"enabled", true}, {"tenant_id", kOriginTenant}, {"host", kOriginHost}}}};
    testbed::write_text(g_home.certs + "/host.json", host.dump());
    testbed::write_text(g_home.certs + "/fleet.pass", kConsolePassword);
    // The agents' gateway token, handed to every VM.
    testbed::write_text(g_home.certs + "/mcp.token", "e2e-gateway-token-0123456789abcdef");

    ::setenv("DROVIX_HOME", g_home.dir.c_str(), 1);
    ::setenv("STANDIN_STATE_DIR", (g_home.dir + "/standins").c_str(), 1);
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (src + "/tools/standins:" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    ::unsetenv("WORKSPACE_POOL_MB");
    ::unsetenv("WEBSEARCH_IP");
  }

  void TearDown() override {
    std::error_code ec;
    fs::remove_all(g_home.dir, ec);
  }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new SuiteHome);

std::string pass_key(const std::string& pass_text) {
  const char* ws = " \t\r\n";
  const size_t b = pass_text.find_first_not_of(ws);
  const std::string trimmed = b == std::string::npos ? "" : pass_text.substr(b, pass_text.find_last_not_of(ws) - b + 1);
  std::string key(SHA256_DIGEST_LENGTH, '\0');
  SHA256(reinterpret_cast<const unsigned char*>(trimmed.data()), trimmed.size(),
         reinterpret_cast<unsigned char*>(key.data()));
  return key;
}

}  // namespace

std::string seal_with_pass(const std::string& pass_text, const std::string& plain) {
  const std::string key = pass_key(pass_text);
  std::string out(12 + plain.size() + 16, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  EXPECT_EQ(RAND_bytes(o, 12), 1);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, tail = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), o),
            1);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, o + 12, &n, reinterpret_cast<const unsigned char*>(plain.data()),
                              static_cast<int>(plain.size())),
            1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx, o + 12 + n, &tail), 1);
  EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, o + 12 + plain.size()), 1);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

std::optional<std::string> open_with_pass(const std::string& pass_text, const std::string& blob) {
  if (blob.size() < 28) return std::nullopt;
  const std::string key = pass_key(pass_text);
  const auto* b = reinterpret_cast<const unsigned char*>(blob.data());
  const size_t len = blob.size() - 28;
  std::string plain(len, '\0');
  auto* p = reinterpret_cast<unsigned char*>(plain.data());
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, tail = 0;
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), b) ==
                1 &&
            EVP_DecryptUpdate(ctx, p, &n, b + 12, static_cast<int>(len)) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<unsigned char*>(b + 12 + len)) == 1 &&
            EVP_DecryptFinal_ex(ctx, p + n, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return std::nullopt;
  return plain;
}

std::vector<OJson> clickhouse_rows(const std::string& select) {
  std::vector<OJson> rows;
  std::istringstream lines(testbed::clickhouse_query(select + " FORMAT JSONEachRow"));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) rows.push_back(OJson::parse(line, nullptr, false));
  return rows;
}

const Home& home() { return g_home; }

void reset_state() {
  std::error_code ec;
  for (const char* d : {"/vmstate", "/appliance-snapshots", "/standins"}) fs::remove_all(g_home.dir + d, ec);
}

void bridge_clickhouse_into_netns() { testbed::bridge_port_into_netns(g_clickhouse_port); }

HostProcess::HostProcess() {
  const std::string program = testbed::binary_dir() + "/host/drovix-host";
  const std::string log = g_home.dir + "/host.log";
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  pid_ = pid;
}

HostProcess::~HostProcess() {
  // Every VM unit the host started is stopped before the host itself.
  testbed::sh("for u in $(ls \"$STANDIN_STATE_DIR/units\" 2>/dev/null); do systemctl stop \"$u\" >/dev/null 2>&1; done");
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

bool HostProcess::wait_ready(std::chrono::seconds limit) {
  return eventually(
      [&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
          pid_ = -1;
          return true;  // ended: the caller sees the failure below
        }
        return https("GET", 443, "/", "", "", std::chrono::seconds(2)).status == 200;
      },
      limit) &&
         pid_ > 0;
}

std::string HostProcess::log() const { return testbed::read_text(g_home.dir + "/host.log"); }

OJson Reply::json() const { return OJson::parse(body, nullptr, false); }

Reply https(const std::string& method, int port, const std::string& path, const std::string& body,
            const std::string& cookie, std::chrono::seconds timeout) {
  static drovix::host::HttpClient client(drovix::host::HttpClientOptions{false, 0, g_home.ca_pem});
  drovix::host::OutboundRequest req;
  req.method = method;
  req.url = "https://127.0.0.1:" + std::to_string(port) + path;
  if (!cookie.empty()) req.headers.push_back({"Cookie", cookie});
  if (method == "POST") {
    req.headers.push_back({"Content-Type", "application/json"});
    req.body = body;
  }
  req.timeout = timeout;
  auto r = client.send(req);
  if (!r) return {};
  return Reply{r->status, r->header("set-cookie").value_or(""), r->body};
}

std::string console_login(const std::string& user) {
  Reply r = https("POST", 443, "/login", OJson{{"username", user}, {"password", kConsolePassword}}.dump());
  EXPECT_EQ(r.status, 200) << r.body;
  return r.set_cookie.substr(0, r.set_cookie.find(';'));
}

bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

}  // namespace e2e
