#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/text.hpp"
#include "host/src/main/config.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix;
using namespace drovix::host;

namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }

 private:
  void set(const std::optional<std::string>& v) {
    if (v)
      ::setenv(name_, v->c_str(), 1);
    else
      ::unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

// A base folder with its certificate folder, pointed at by DROVIX_HOME.
class HostHome : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(certs()); }
  std::string home() const { return dir_.path(); }
  std::string certs() const { return dir_.path() + "/fleetcerts"; }
  void put(const std::string& name, const std::string& text) { testbed::write_text(certs() + "/" + name, text); }
  // Loads with a fixed host name unless host.json is given.
  HostConfig load(const std::string& host_json = R"({"hostname":"h.test"})") {
    put("host.json", host_json);
    return load_host_config();
  }

  testbed::TempDir dir_;
  ScopedEnv env_{"DROVIX_HOME", dir_.path() + "///"};
};

std::string self_exe() { return std::filesystem::canonical("/proc/self/exe").string(); }

}  // namespace

TEST(HomeDir, FromEnvironmentOrProgramPlace) {
  using Opt = std::optional<std::string>;
  struct Case {
    Opt env;
    Opt program;
    std::string want;
  } cases[] = {
      {"/srv/x///", "/elsewhere/bin/drovix-host", "/srv/x"},
      {"/srv/x", std::nullopt, "/srv/x"},
      {"///", std::nullopt, ""},
      {"", "/srv/x/bin/drovix-host", "/srv/x"},
      {std::nullopt, "/srv/x/bin/drovix-host", "/srv/x"},
      {std::nullopt, "/srv/x/drovix-host", "/srv/x"},
      {std::nullopt, "/srv/binary/drovix-host", "/srv/binary"},
      {std::nullopt, "/srv/bin/bin/drovix-host", "/srv/bin"},
      {std::string("/srv/\xff"), "/srv/y/drovix-host", "/srv/y"},  // not UTF-8: ignored
      {std::nullopt, std::nullopt, "/opt/drovix"},
      {std::nullopt, "drovix-host", "/opt/drovix"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(home_dir_from(c.env, c.program), c.want) << c.env.value_or("(unset)") << " "
                                                       << c.program.value_or("(none)");
  }
}

TEST_F(HostHome, TrailingSlashesAndDefaults) {
  HostConfig c = load();
  EXPECT_EQ(c.home, home());
  EXPECT_EQ(c.certs, home() + "/fleetcerts");
  EXPECT_EQ(c.hostname, "h.test");
  EXPECT_EQ(c.agent_bin, home() + "/build/agent/drovix-agent");
  EXPECT_EQ(c.reader_bin, home() + "/build/reader/drovix-reader");
  EXPECT_EQ(c.sharepoint_cert, certs() + "/sharepoint-app.crt");
  EXPECT_EQ(c.sharepoint_key, certs() + "/sharepoint-app.key");
  EXPECT_EQ(c.clickhouse.url, "http://127.0.0.1:8123/");
  EXPECT_EQ(c.clickhouse.user, "");
  EXPECT_FALSE(c.origin.enabled);
  EXPECT_EQ(c.origin.tenant_id, "t_demo");
  EXPECT_EQ(c.origin.host, "h.test");
  EXPECT_EQ(c.console_port, 443);
  EXPECT_EQ(c.entra_tenant, "");
  EXPECT_EQ(c.login_host, "login.microsoftonline.com");
  EXPECT_EQ(c.graph_host, "graph.microsoft.com");
}

TEST_F(HostHome, EmptyHomeVariableFallsBackToTheProgramFolder) {
  ScopedEnv empty("DROVIX_HOME", "");
  EXPECT_EQ(load_host_config().home, home_dir_from(std::nullopt, self_exe()));
  ScopedEnv unset("DROVIX_HOME", std::nullopt);
  EXPECT_EQ(load_host_config().home, home_dir_from(std::nullopt, self_exe()));
}

TEST_F(HostHome, ValuesFromHostJson) {
  testbed::write_text(home() + "/bin/drovix-agent", "");
  HostConfig c = load(R"({"hostname":"  spaced.host ","tarvo":"/x/tarvo","reader_bin":"/r/img",
    "sharepoint_cert":"/c.crt","sharepoint_key":"","console_port":" +8443 ","entra_tenant":"ten",
    "entra_client":"cli","sharepoint_site":"site","login_host":"127.0.0.1:9999","graph_host":"",
    "clickhouse":{"url":"https://ch:8443///","user":"u","password":"p","desk_password":"d","ca_file":7}})");
  EXPECT_EQ(c.hostname, "  spaced.host ");  // used exactly as written
  EXPECT_EQ(c.hypervisor, "/x/tarvo");
  EXPECT_EQ(c.agent_bin, home() + "/bin/drovix-agent");  // installed image found
  EXPECT_EQ(c.reader_bin, "/r/img");
  EXPECT_EQ(c.sharepoint_cert, "/c.crt");
  EXPECT_EQ(c.sharepoint_key, certs() + "/sharepoint-app.key");  // empty text counts as absent
  EXPECT_EQ(c.console_port, 8443);
  EXPECT_EQ(c.entra_tenant, "ten");
  EXPECT_EQ(c.entra_client, "cli");
  EXPECT_EQ(c.sharepoint_site, "site");
  EXPECT_EQ(c.login_host, "127.0.0.1:9999");
  EXPECT_EQ(c.graph_host, "graph.microsoft.com");
  EXPECT_EQ(c.clickhouse.url, "https://ch:8443/");
  EXPECT_EQ(c.clickhouse.user, "u");
  EXPECT_EQ(c.clickhouse.password, "p");
  EXPECT_EQ(c.clickhouse.desk_password, "d");
  EXPECT_EQ(c.clickhouse.ca_file, "");  // not a text
}

TEST(ConsolePort, LenientReading) {
  struct Case {
    const char* json;
    uint16_t want;
  } cases[] = {
      {"8443", 8443},          {R"("8443")", 8443},    {R"(" +8443 ")", 8443},  {R"("08443")", 8443},
      {R"("\u00a08443\t")", 8443}, {"65535", 65535},  {"1", 1},                {"0", 443},
      {R"("0")", 443},         {R"("-1")", 443},       {R"("65536")", 443},     {R"("+")", 443},
      {R"("")", 443},          {"8443.0", 443},        {"8.443e3", 443},        {"true", 443},
      {"-5", 443},             {"70000", 443},         {R"("8 443")", 443},     {R"("0x1f")", 443},
      {"null", 443},           {"[8443]", 443},        {R"("99999999999999999999")", 443},
  };
  for (const auto& c : cases) {
    OJson v = OJson::parse(c.json);
    EXPECT_EQ(parse_console_port(&v), c.want) << c.json;
  }
  EXPECT_EQ(parse_console_port(nullptr), 443);
}

TEST_F(HostHome, ClickHouseUrlAndWhereItIsRead) {
  struct Case {
    std::string host_json;
    std::string clickhouse_json;
    std::string want_url;
  } cases[] = {
      {R"({"hostname":"h"})", R"({"url":"http://ch:8123"})", "http://ch:8123/"},
      {R"({"hostname":"h"})", R"({"url":"http://ch:8123///"})", "http://ch:8123/"},
      {R"({"hostname":"h"})", R"({"url":""})", "http://127.0.0.1:8123/"},
      {R"({"hostname":"h"})", R"({"url":5})", "http://127.0.0.1:8123/"},
      // An object in host.json wins; anything else there is passed over.
      {R"({"hostname":"h","clickhouse":{"url":"http://inner"}})", R"({"url":"http://file"})", "http://inner/"},
      {R"({"hostname":"h","clickhouse":"http://text"})", R"({"url":"http://file"})", "http://file/"},
  };
  for (const auto& c : cases) {
    put("clickhouse.json", c.clickhouse_json);
    EXPECT_EQ(load(c.host_json).clickhouse.url, c.want_url) << c.host_json << " " << c.clickhouse_json;
  }
}

TEST_F(HostHome, OriginRules) {
  struct Case {
    std::string host_json;
    std::optional<std::string> origin_json;
    bool enabled;
    std::string tenant;
    std::string host;
  } cases[] = {
      {R"({"hostname":"h.test"})", std::nullopt, false, "t_demo", "h.test"},
      {R"({"hostname":"h.test"})", "{}", true, "t_demo", "h.test"},
      {R"({"hostname":"h.test"})", R"({"enabled":0})", false, "t_demo", "h.test"},
      {R"({"hostname":"h.test"})", R"({"enabled":null,"tenant_id":"","host":""})", false, "t_demo", "h.test"},
      {R"({"hostname":"h.test"})", R"({"enabled":"no","tenant_id":"t_x","host":"o.test"})", true, "t_x", "o.test"},
      {R"({"hostname":"h.test"})", "[1]", false, "t_demo", "h.test"},
      {R"({"hostname":"h.test","origin":{"enabled":[]}})", "{}", false, "t_demo", "h.test"},
      {R"({"hostname":"h.test","origin":true})", R"({"tenant_id":"t_f"})", true, "t_f", "h.test"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(certs() + "/origin.json");
    if (c.origin_json) put("origin.json", *c.origin_json);
    testing::internal::CaptureStdout();
    HostConfig cfg = load(c.host_json);
    testing::internal::GetCapturedStdout();
    std::string what = c.host_json + " " + c.origin_json.value_or("(none)");
    EXPECT_EQ(cfg.origin.enabled, c.enabled) << what;
    EXPECT_EQ(cfg.origin.tenant_id, c.tenant) << what;
    EXPECT_EQ(cfg.origin.host, c.host) << what;
  }
}

TEST_F(HostHome, BrokenFilesGiveDefaultsWithOneNotice) {
  put("clickhouse.json", R"({"url":"http://ch"})");
  put("origin.json", "{}");
  for (std::string bad : {"[1,2]", "{\"console_port\": 8443", "", "\"text\"", "{\"a\":\"\xff\"}"}) {
    testing::internal::CaptureStdout();
    HostConfig c = load(bad);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[drovix-host] " + certs() + "/host.json unreadable, using defaults\n") << bad;
    EXPECT_EQ(c.console_port, 443);
    EXPECT_EQ(c.clickhouse.url, "http://ch/");  // the other files are still read
    EXPECT_TRUE(c.origin.enabled);
  }

  // Missing or unreadable files are silent.
  std::filesystem::remove(certs() + "/host.json");
  std::filesystem::remove(certs() + "/origin.json");
  std::filesystem::remove(certs() + "/clickhouse.json");
  std::filesystem::create_directory(certs() + "/clickhouse.json");
  testing::internal::CaptureStdout();
  HostConfig c = load_host_config();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(c.clickhouse.url, "http://127.0.0.1:8123/");

  put("host.json", R"({"hostname":"h"})");
  put("origin.json", "{bad");
  testing::internal::CaptureStdout();
  c = load_host_config();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[drovix-host] " + certs() + "/origin.json unreadable, using defaults\n");
  EXPECT_FALSE(c.origin.enabled);
}

TEST_F(HostHome, HostnameFallsBackToTheCommandThenTheKernel) {
  testbed::TempDir tools;
  std::string fake = tools / "hostname";
  ScopedEnv path("PATH", tools.path() + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : ""));

  testbed::write_text(fake, "#!/bin/sh\n[ \"$1\" = -f ] && printf ' \\t fake.example.test \\n\\n'\n");
  ::chmod(fake.c_str(), 0755);
  EXPECT_EQ(load(R"({"hostname":""})").hostname, "fake.example.test");

  // Silent command (whatever its status): the kernel's name.
  testbed::write_text(fake, "#!/bin/sh\nexit 3\n");
  std::string kernel = trim_unicode(testbed::read_text("/proc/sys/kernel/hostname"));
  HostConfig c = load(R"({"hostname":7})");
  EXPECT_EQ(c.hostname, kernel);
  EXPECT_EQ(c.origin.host, kernel);
}

TEST_F(HostHome, HypervisorCandidatesInOrder) {
  testbed::TempDir p1, p2, p3;
  std::filesystem::create_directory(p2 / "tarvo");  // a folder: not a program
  testbed::write_text(p3 / "tarvo", "");
  std::string path_env = "/nonexistent::" + p2.path() + ":" + p3.path();

  EXPECT_EQ(find_hypervisor(home(), std::nullopt), home() + "/.local/bin/tarvo");
  EXPECT_EQ(find_hypervisor(home(), p1.path() + ":" + p2.path()), home() + "/.local/bin/tarvo");
  EXPECT_EQ(find_hypervisor(home(), path_env), p3 / "tarvo");
  std::filesystem::create_symlink(p3 / "tarvo", p1 / "tarvo");
  EXPECT_EQ(find_hypervisor(home(), p1.path() + ":" + p3.path()), p1 / "tarvo");  // links followed
  // An empty entry is the empty folder: "/tarvo".
  EXPECT_EQ(find_hypervisor(home(), ":" + p3.path()),
            std::filesystem::is_regular_file("/tarvo") ? "/tarvo" : p3 / "tarvo");

  // Anything at home's bin/tarvo comes first, whatever it is.
  std::filesystem::create_directories(home() + "/bin/tarvo");
  EXPECT_EQ(find_hypervisor(home(), path_env), home() + "/bin/tarvo");

  ScopedEnv path("PATH", path_env);
  EXPECT_EQ(load().hypervisor, home() + "/bin/tarvo");
  EXPECT_EQ(load(R"({"hostname":"h","tarvo":"/given/tarvo"})").hypervisor, "/given/tarvo");
}

TEST(HostConfigOnce, SharedRecordAndDerivedPaths) {
  std::vector<std::thread> threads;
  std::vector<const HostConfig*> seen(6);
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &host_config(); });
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, seen[0]);

  const std::string& home = host_config().home;
  EXPECT_EQ(vmstate_dir(), home + "/vmstate");
  EXPECT_EQ(relay_record_path(8001), home + "/vmstate/8001/relay.json");
  EXPECT_EQ(skills_path(), home + "/skills.md");
}
