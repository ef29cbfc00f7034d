#include "agent/src/main/agent_startup.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstdlib>
#include <thread>

#include "agent/src/main/hooks.hpp"
#include "agent/src/main/http_client.hpp"
#include "agent/src/main/trust.hpp"
#include "common/fs.hpp"
#include "tests/agent/boot/boot_fixture.hpp"
#include "tests/testbed/certs.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::agent;
using drovix::SJson;

namespace {

// An archive sealed the way the gateway seals one: a 12-byte nonce,
// AES-256-GCM under the SHA-256 of the pass phrase, the 16-byte tag.
std::string seal_with_openssl(const std::string& plain, const std::string& pass) {
  unsigned char key[32];
  SHA256(reinterpret_cast<const unsigned char*>(pass.data()), pass.size(), key);
  unsigned char nonce[12];
  EXPECT_EQ(RAND_bytes(nonce, sizeof nonce), 1);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(reinterpret_cast<char*>(nonce), sizeof nonce);
  std::string cipher(plain.size(), '\0');
  int len = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, nonce), 1);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(cipher.data()), &len,
                              reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size())),
            1);
  int fin = 0;
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(cipher.data()) + len, &fin), 1);
  unsigned char tag[16];
  EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag), 1);
  EVP_CIPHER_CTX_free(ctx);
  return out + cipher + std::string(reinterpret_cast<char*>(tag), sizeof tag);
}

// Runs start-up with the environment given (every other variable that
// start-up reads is unset) and collects the printed lines.
struct Started {
  std::vector<std::string> lines;
  std::variant<AgentServer, StartupFailure> result;
};

Started start_with_env(const std::vector<std::pair<const char*, const char*>>& env) {
  for (const char* name : {"TLS_CERT", "TLS_KEY", "PORT", "API_IP", "ANTHROPIC_API_KEY", "UMBRIX_GATEWAY",
                           "DROVIX_HOST"})
    ::unsetenv(name);
  for (const auto& [name, value] : env) ::setenv(name, value, 1);
  std::vector<std::string> lines;
  auto result = agent_start([&](const std::string& line) { lines.push_back(line); });
  return {std::move(lines), std::move(result)};
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

const KeyringEntry& entry(const AgentServer& s, const std::string& id) { return s.ctx.keyring->entries.at(id); }

}  // namespace

TEST(ParsePort, Table) {
  const std::pair<const char*, uint16_t> cases[] = {
      {nullptr, 8443}, {"", 8443},     {"8080", 8080},  {"+8080", 8080}, {"-1", 8443},   {"70000", 8443},
      {"65535", 65535}, {"65536", 8443}, {"++80", 8443}, {"80x", 8443},   {" 80", 8443},  {"0080", 80},
      {"100000", 8443}, {"+", 8443},
  };
  for (const auto& [value, port] : cases) EXPECT_EQ(parse_port(value), port) << (value ? value : "(unset)");
}

TEST(ApplianceRole, Table) {
  struct Case {
    const char* appliance;
    bool child;
    const char* name;
    unsigned subagents;
    bool share;
    bool research;
  };
  const Case cases[] = {
      {R"J({"role":"child","task":" check totals ","child_name":"c1","subagents":4})J", true, "c1", 0, false, false},
      {R"J({"role":"child","task":"x"})J", true, "", 0, false, false},
      {R"J({"role":"child","task":" \n ","subagents":3})J", false, "", 3, false, false},
      {R"J({"subagents":-2,"share_workspace":true,"subagent_profile":"research"})J", false, "", 0, true, true},
      {R"J({"subagents":2.5,"share_workspace":1,"subagent_profile":"Research"})J", false, "", 0, false, false},
      {R"J([1,2])J", false, "", 0, false, false},
  };
  // The task is kept as written.
  EXPECT_EQ(appliance_role_from(SJson::parse(cases[0].appliance)).child->task, " check totals ");
  for (const auto& c : cases) {
    AgentRole r = appliance_role_from(SJson::parse(c.appliance));
    EXPECT_EQ(r.child.has_value(), c.child) << c.appliance;
    if (r.child) {
      EXPECT_EQ(r.child->child_name, c.name) << c.appliance;
    }
    EXPECT_EQ(r.subagents, c.subagents) << c.appliance;
    EXPECT_EQ(r.share_workspace, c.share) << c.appliance;
    EXPECT_EQ(r.research, c.research) << c.appliance;
  }
}

TEST(WorkspaceLaunch, SettingsBudgetAndStagingFolder) {
  EXPECT_EQ(workspace_text_budget(100), 57671680u);
  auto w = workspace_launch_settings(SJson::parse(R"J({"workspace_mb":100,"workspace_folder":"  /Reports/Q3/ "})J"));
  EXPECT_EQ(w.mb, 100u);
  EXPECT_EQ(w.folder, "Reports/Q3");
  EXPECT_EQ(workspace_launch_settings(SJson::parse(R"J({"workspace_mb":-5})J")).mb, 0u);
  EXPECT_EQ(workspace_launch_settings(SJson::parse(R"J({"workspace_mb":"100"})J")).mb, 0u);

  struct Case {
    const char* folder;
    const char* root;
    std::optional<std::string> staged;
  };
  const Case cases[] = {
      {"Reports/Q3", "Reports", "Q3"}, {"Reports/Q3", "Rep", std::nullopt}, {"Reports", "Reports", ""},
      {"Reports/Q3", "", "Reports/Q3"}, {"", "Reports", std::nullopt},      {"Other/Q3", "Reports", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(staging_folder(c.folder, c.root), c.staged) << c.folder << " / " << c.root;
}

// A fresh session: every line compared whole, the keyring's built-in
// entries, and the server answering over TLS once it listens.
TEST(AgentStart, FreshSessionLinesAndServing) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  testbed::write_text(certs / "mcp.token", "gw-secret-token-0123456789\n");
  testbed::write_text(certs / "appliance.json",
                      R"J({"archive":"Q3 review","mode":"new","audit":false,"onedrive":"ro","ephemeral":"yes",)J"
                      R"J("subagents":2,"hooks":{"pre_tool_use":false}})J");
  testbed::write_text(certs / "skills.md", "  Be brief.\n");
  testbed::write_text(certs / "bedrock.json", R"J({"region":"eu-west-1","ip":"10.0.9.1","key":"k"})J");
  testbed::write_text(certs / "private.json", R"J({"host":"llm.internal","ip":"10.0.9.1","key":"pk"})J");
  testbed::write_text(certs / "creds.json",
                      R"J([{"service_id":"mcp:datalake","host":"gw","ip":"10.0.9.1","secret":"s","relay":""}])J");
  // A session archive is there, but a named archive on a "new" launch never resumes.
  testbed::write_text(certs / "session.pass", "pass");
  testbed::write_text(certs / "session.blob", seal_with_openssl(R"J({"transcript":"old"})J", "pass"));
  boottest::with_certs(certs.path(), [&] {
    Started s = start_with_env({{"PORT", "+8080"},
                                {"API_IP", "10.0.9.1"},
                                {"ANTHROPIC_API_KEY", "sk-env"},
                                {"DROVIX_HOST", "fleet.test"},
                                {"UMBRIX_GATEWAY", "10.0.9.1"}});
    EXPECT_EQ(joined(s.lines),
              "WEB start; cert=/certs/fullchain.pem port=8080\n"
              "keyring: services=[\"anthropic\",\"mcp:datalake\",\"private\",\"statesink\",\"telemetry\"] tools=true\n"
              "corpus: 0 docs, 0 chunks\n"
              "config: audit=false onedrive=ro archive=Q3 review mode=new ephemeral=false resume=false\n"
              "skills: loaded\n"
              "sub-agents: up to 2\n"
              "WEB LISTENING on 0.0.0.0:8080\n");
    auto* server = std::get_if<AgentServer>(&s.result);
    ASSERT_TRUE(server);
    EXPECT_EQ(entry(*server, "anthropic").secret, "sk-env");
    EXPECT_EQ(entry(*server, "anthropic").ip, "10.0.9.1");
    EXPECT_EQ(entry(*server, "private").host, "llm.internal");
    for (const char* id : {"telemetry", "statesink"}) {
      EXPECT_EQ(entry(*server, id).host, "fleet.test");
      EXPECT_EQ(entry(*server, id).secret, "gw-secret-token-0123456789");
      EXPECT_EQ(entry(*server, id).prefix, "Bearer ");
    }
    EXPECT_EQ(server->ctx.setup->skills, std::optional<std::string>("Be brief."));
    EXPECT_FALSE(server->ctx.setup->ephemeral);
    EXPECT_EQ(server->ctx.setup->prior_manifest, SJson::array());
    EXPECT_FALSE(hook_state().switches[static_cast<size_t>(HookKind::PreToolUse)]);

    std::thread([srv = std::move(*server)]() mutable { serve_forever(std::move(srv)); }).detach();
    auto conn = connect_service("127.0.0.1", 8080, "localhost", ca_roots(), SocketLimits{5000, 5000});
    ASSERT_TRUE(conn) << conn.message();
    ASSERT_TRUE((*conn)->write_all("GET /api/session-info HTTP/1.1\r\nHost: x\r\n\r\n"));
    auto reply = http_exchange(std::move(*conn));
    ASSERT_TRUE(reply) << reply.message();
    EXPECT_EQ(reply->status, 200);
    auto info = drovix::parse_json<SJson>(reply->body);
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)["archive"], "Q3 review");
    EXPECT_EQ((*info)["datalake"], true);
    EXPECT_EQ((*info)["hooks"]["pre_tool_use"], false);
  });
}

TEST(AgentStart, ResumedSessionFromTheSealedArchive) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  testbed::write_text(certs / "mcp.token", "gw-secret-token-0123456789");
  testbed::write_text(certs / "appliance.json", R"J({"archive":"","mode":"new"})J");
  testbed::write_text(certs / "session.pass", "\n  correct horse battery staple \n");
  const std::string archive =
      R"J({"name":"Q2 close","transcript":"  \n ","docs":[{"name":"a","text":"first part"},{"name":"b"},)J"
      R"J({"text":"second part\n"}],"manifest":[{"fp":"ab","kind":"csv","path":"a.csv","size":5,"src":"sp:a"}]})J";
  testbed::write_text(certs / "session.blob", seal_with_openssl(archive, "correct horse battery staple"));
  boottest::with_certs(certs.path(), [&] {
    // DROVIX_HOST set but empty: the gateway entries get an empty host name.
    Started s = start_with_env({{"DROVIX_HOST", ""}, {"PORT", "9443"}});
    EXPECT_EQ(joined(s.lines),
              "WEB start; cert=/certs/fullchain.pem port=9443\n"
              "DROVIX_HOST not set: the gateway's certificate can't be checked\n"
              "keyring: services=[\"statesink\",\"telemetry\"] tools=false\n"
              "corpus: 0 docs, 0 chunks\n"
              "config: audit=true onedrive=rw archive= mode=new ephemeral=false resume=true\n"
              "skills: none\n"
              "sub-agents: up to 0\n"
              "WEB LISTENING on 0.0.0.0:9443\n");
    auto* server = std::get_if<AgentServer>(&s.result);
    ASSERT_TRUE(server);
    ASSERT_TRUE(server->ctx.setup->resumed);
    EXPECT_EQ(server->ctx.setup->resumed->name, "Q2 close");
    EXPECT_EQ(server->ctx.setup->resumed->transcript, "first part\n\nsecond part\n");
    EXPECT_EQ(server->ctx.setup->prior_manifest,
              SJson::parse(R"J([{"fp":"ab","kind":"csv","path":"a.csv","size":5,"src":"sp:a"}])J"));
    EXPECT_EQ(entry(*server, "telemetry").host, "");
    EXPECT_EQ(entry(*server, "telemetry").ip, "10.0.9.1");
    auto info = session_info_json(server->ctx);
    EXPECT_EQ(info["resume"], true);
    EXPECT_EQ(info["snapshot"], "Q2 close");
  });

  // Archives that give no resume: a wrong pass phrase, and one with neither
  // transcript nor document texts.
  struct NoResume {
    const char* name;
    std::string blob;
  };
  const NoResume cases[] = {
      {"wrong pass phrase", seal_with_openssl(archive, "another phrase")},
      {"nothing to resume", seal_with_openssl(R"J({"name":"x","transcript":" ","docs":[{"text":"\n"}]})J",
                                              "correct horse battery staple")},
      {"not JSON", seal_with_openssl("not json", "correct horse battery staple")},
      {"too short", "short"},
  };
  for (const auto& c : cases) {
    testbed::write_text(certs / "session.blob", c.blob);
    boottest::with_certs(certs.path(), [&] {
      Started s = start_with_env({{"DROVIX_HOST", "fleet.test"}});
      ASSERT_GE(s.lines.size(), 4u) << c.name;
      EXPECT_EQ(s.lines[3], "config: audit=true onedrive=rw archive= mode=new ephemeral=false resume=false") << c.name;
    });
  }
}

TEST(AgentStart, FatalErrorsNameTheirStep) {
  testbed::TempDir certs;
  boottest::write_certs(certs.path());
  const auto& pki = testbed::shared_test_pki();
  testbed::write_text(certs / "damaged.pem", testbed::damaged_pem_section());
  testbed::write_text(certs / "other.key", pki.other_key_pem);
  testbed::write_text(certs / "pkcs1.key", testbed::rsa_key_as_pkcs1(pki.key_pem));
  struct Case {
    const char* name;
    const char* cert;
    const char* key;
    const char* step;  // empty: start-up succeeds
  };
  const Case cases[] = {
      {"missing certificate", "/certs/none.pem", "/certs/privkey.pem", "open cert"},
      {"damaged certificate", "/certs/damaged.pem", "/certs/privkey.pem", "cert der"},
      {"missing key", "/certs/fullchain.pem", "/certs/none.key", "open key"},
      {"key file without a key", "/certs/fullchain.pem", "/certs/ca.pem", "a key"},
      {"key of another certificate", "/certs/fullchain.pem", "/certs/other.key", "single cert"},
      {"certificate file used as key is no key", "/certs/fullchain.pem", "/certs/fullchain.pem", "a key"},
      {"PKCS#1 key", "/certs/fullchain.pem", "/certs/pkcs1.key", ""},
  };
  for (const auto& c : cases) {
    boottest::with_certs(certs.path(), [&] {
      Started s = start_with_env({{"TLS_CERT", c.cert}, {"TLS_KEY", c.key}});
      EXPECT_EQ(s.lines.front(), std::string("WEB start; cert=") + c.cert + " port=8443") << c.name;
      if (!*c.step) {
        EXPECT_TRUE(std::holds_alternative<AgentServer>(s.result)) << c.name;
        return;
      }
      auto* f = std::get_if<StartupFailure>(&s.result);
      ASSERT_TRUE(f) << c.name;
      EXPECT_EQ(f->step, c.step) << c.name << ": " << f->detail;
      EXPECT_EQ(joined(s.lines).find("WEB LISTENING"), std::string::npos) << c.name;
    });
  }

  // The port is taken.
  boottest::with_certs(certs.path(), [&] {
    auto taken = drovix::tcp_listen("0.0.0.0:8443");
    ASSERT_TRUE(taken) << taken.message();
    Started s = start_with_env({});
    auto* f = std::get_if<StartupFailure>(&s.result);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->step, "bind");
    EXPECT_EQ(s.lines.back(), "sub-agents: up to 0");
  });
}

TEST(AgentProgram, FatalStartUpExitsWithStatusOne) {
  testbed::TempDir certs;
  boottest::with_certs(certs.path(), [&] {
    std::string agent = testbed::binary_dir() + "/agent/drovix-agent";
    std::string out = testbed::sh_out("TLS_CERT=/certs/none.pem " + agent + " 2>&1; echo \"exit=$?\"");
    EXPECT_NE(out.find("WEB start; cert=/certs/none.pem port=8443\n"), std::string::npos) << out;
    EXPECT_NE(out.find("fatal: open cert: "), std::string::npos) << out;
    EXPECT_NE(out.find("exit=1"), std::string::npos) << out;
    EXPECT_EQ(out.find("WEB LISTENING"), std::string::npos) << out;
  });
}
