#include "host/src/gateway/archive_save.hpp"

#include <openssl/evp.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "common/crypto.hpp"
#include "fixture.hpp"
#include "host/src/gateway/router.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::host;
using drovix::OJson;
using namespace gateway_test;
namespace fs = std::filesystem;

namespace {

class Archives : public ::testing::Test {
 protected:
  void SetUp() override { reset_state(); }
  std::string dir() const { return home().dir + "/appliance-snapshots"; }
  std::string pass_path() const { return home().certs + "/snapshot.pass"; }
};

// AES-256-GCM opened with OpenSSL directly: key SHA-256 of the trimmed pass
// phrase, 12-byte nonce first, 16-byte tag last, no associated data.
std::optional<std::string> open_with_openssl(const std::string& blob, const std::string& phrase) {
  if (blob.size() < 28) return std::nullopt;
  unsigned char key[32];
  unsigned int key_len = 0;
  EVP_Digest(phrase.data(), phrase.size(), key, &key_len, EVP_sha256(), nullptr);
  const auto* b = reinterpret_cast<const unsigned char*>(blob.data());
  size_t n = blob.size() - 28;
  std::string out(n, '\0');
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0, ok = 1;
  ok &= EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr);
  ok &= EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr);
  ok &= EVP_DecryptInit_ex(ctx, nullptr, nullptr, key, b);
  ok &= EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len, b + 12, static_cast<int>(n));
  ok &= EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, const_cast<unsigned char*>(b + 12 + n));
  int fin = EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + len, &len);
  EVP_CIPHER_CTX_free(ctx);
  if (!ok || fin != 1) return std::nullopt;
  return out;
}

}  // namespace

TEST_F(Archives, SavedBlobOpensWithThePassPhrase) {
  OJson manifest = OJson::array({OJson{{"path", "a.txt"}, {"size", 3}, {"kind", "text"}}});
  auto [status, reply] = save_session_archive("  My Archive! ", "hello transcript", false, "sess-1", manifest);
  ASSERT_EQ(status, 200) << reply.dump();
  std::string stamp = reply["timestamp"];
  EXPECT_EQ(stamp.size(), 15u);
  EXPECT_EQ(reply.dump(), OJson({{"ok", true},
                                 {"name", "My-Archive-"},
                                 {"timestamp", stamp},
                                 {"bytes", reply["bytes"]},
                                 {"versions", 1}})
                              .dump());

  // The pass phrase was made at first use: 48 hex characters, mode 0600.
  std::string phrase = testbed::read_text(pass_path());
  EXPECT_EQ(phrase.size(), 48u);
  EXPECT_EQ(phrase.find_first_not_of("0123456789abcdef"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(pass_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  std::string file = dir() + "/My-Archive-__" + stamp + ".blob";
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string blob = testbed::read_text(file);
  EXPECT_EQ(reply["bytes"], blob.size());
  auto plain = open_with_openssl(blob, phrase);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(blob.size(), plain->size() + 28);
  EXPECT_EQ(*plain, OJson({{"transcript", "hello transcript"}, {"name", "My-Archive-"}, {"ts", stamp},
                           {"manifest", manifest}})
                        .dump());

  // A pass-phrase file with a trailing line feed gives the same key.
  testbed::write_text(pass_path(), phrase + "\n");
  auto [s2, r2] = save_session_archive("My-Archive-", false, false, "", nullptr);
  ASSERT_EQ(s2, 200);
  auto plain2 = open_with_openssl(testbed::read_text(dir() + "/My-Archive-__" + r2["timestamp"].get<std::string>() +
                                                     ".blob"),
                                  phrase);
  ASSERT_TRUE(plain2.has_value());
  // Empty values are stored as "" and [].
  EXPECT_EQ(OJson::parse(*plain2)["transcript"], "");
  EXPECT_EQ(OJson::parse(*plain2)["manifest"], OJson::array());
}

TEST_F(Archives, NamesAndVersions) {
  struct Case {
    std::string given, stored;
  } names[] = {{"  ", "session"}, {"", "session"}, {"\u00c4rger", "-rger"}, {"../x", "..-x"},
               {std::string(100, 'a'), std::string(60, 'a')}};
  for (const auto& c : names) {
    auto [status, reply] = save_session_archive(c.given, "t", false, "", nullptr);
    ASSERT_EQ(status, 200);
    EXPECT_EQ(reply["name"], c.stored) << c.given;
  }
  for (const auto& e : fs::directory_iterator(dir())) EXPECT_EQ(e.path().parent_path(), fs::path(dir()));

  struct Entry {
    const char* file;
    const char* name;
    bool version;
  } entries[] = {{"a__b__20261209T151230.blob", "a__b", true},  {"my___20261209T151230.blob", "my_", true},
                 {"mine.blob", "mine", true},                    {"mine.blob.blob", "mine", true},
                 {"notes.txt", "mine", false},                   {"other__20261209T151230.blob", "mine", false},
                 {"mine__20261209T151230.blob.tmp", "mine", false}};
  for (const auto& e : entries) EXPECT_EQ(archive_version_of(e.file, e.name), e.version) << e.file;
}

TEST_F(Archives, CreateOnlyRefusesAnExistingName) {
  ASSERT_EQ(save_session_archive("My-Archive", "t", false, "", nullptr).first, 200);
  auto [status, reply] = save_session_archive("My Archive", "t", true, "", nullptr);
  EXPECT_EQ(status, 409);
  EXPECT_EQ(reply, OJson({{"error", "An archive named 'My-Archive' already exists. Pick a new name."}}));
  EXPECT_EQ(list_archive_versions("My-Archive").size(), 1u);
  EXPECT_EQ(save_session_archive("Fresh", "t", true, "", nullptr).first, 200);
}

TEST_F(Archives, TwentyVersionsAreKept) {
  fs::create_directories(dir());
  char name[64];
  for (int i = 0; i < 20; ++i) {
    std::snprintf(name, sizeof name, "keep__202001%02dT000000.blob", i + 1);
    testbed::write_text(dir() + "/" + name, "old");
  }
  testbed::write_text(dir() + "/other__20200101T000000.blob", "other");
  auto [status, reply] = save_session_archive("keep", "t", false, "", nullptr);
  ASSERT_EQ(status, 200);
  EXPECT_EQ(reply["versions"], 20);
  auto versions = list_archive_versions("keep");
  ASSERT_EQ(versions.size(), 20u);
  EXPECT_EQ(versions.front(), "keep__20200102T000000.blob");
  EXPECT_EQ(versions.back(), "keep__" + reply["timestamp"].get<std::string>() + ".blob");
  EXPECT_TRUE(fs::exists(dir() + "/other__20200101T000000.blob"));
}

TEST_F(Archives, FirstVersionIsAuditedOnce) {
  ASSERT_EQ(save_session_archive("audit-once-mark", "t", false, "sess-audit", nullptr).first, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_EQ(save_session_archive("audit-once-mark", "t", false, "sess-audit", nullptr).first, 200);
  auto rows = audit_rows("text = 'Archive \\'audit-once-mark\\' created'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["session_id"], "sess-audit");
  EXPECT_EQ(rows[0]["kind"], "signal");
  EXPECT_EQ(rows[0]["tool"], "archive");
  EXPECT_EQ(rows[0]["rule"], "archive_created");
  EXPECT_EQ(rows[0]["severity"], "low");
}

// Saves that find no pass phrase at the same moment all seal with the one
// that ends up stored.
TEST_F(Archives, ConcurrentFirstSavesShareOnePassPhrase) {
  std::vector<std::thread> threads;
  std::vector<std::string> files(8);
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([i, &files] {
      auto [status, reply] = save_session_archive("race" + std::to_string(i), "t", false, "", nullptr);
      if (status == 200) files[i] = "race" + std::to_string(i) + "__" + reply["timestamp"].get<std::string>() + ".blob";
    });
  for (auto& t : threads) t.join();
  std::string phrase = testbed::read_text(pass_path());
  for (const auto& f : files) {
    ASSERT_FALSE(f.empty());
    EXPECT_TRUE(open_with_openssl(testbed::read_text(dir() + "/" + f), phrase).has_value()) << f;
  }
}

// A pass phrase that cannot be stored is never used: the save fails and
// nothing is written.
TEST_F(Archives, UnstorablePassPhraseFailsTheSave) {
  const std::string certs = home().certs;
  const std::string archives = dir();
  testbed::run_in_netns([&] {
    ASSERT_EQ(::mount(certs.c_str(), certs.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(::mount(nullptr, certs.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
    auto [status, reply] = save_session_archive("nopass", "t", false, "", nullptr);
    EXPECT_EQ(status, 500);
    ASSERT_TRUE(reply.contains("error"));
    EXPECT_NE(reply["error"].get<std::string>().find("cannot store the archive pass phrase"), std::string::npos)
        << reply.dump();
    EXPECT_TRUE(list_archive_versions("nopass").empty());
  });
  EXPECT_FALSE(fs::exists(certs + "/snapshot.pass"));
}

TEST_F(Archives, EmptyPassPhraseFileIsNeverUsed) {
  testbed::write_text(pass_path(), " \n");
  auto [status, reply] = save_session_archive("emptypass", "t", false, "", nullptr);
  EXPECT_EQ(status, 500);
  EXPECT_EQ(reply.value("error", ""), "the archive pass phrase in " + pass_path() + " is empty");
  EXPECT_TRUE(list_archive_versions("emptypass").empty());
  EXPECT_EQ(testbed::read_text(pass_path()), " \n") << "the operator's file is left as it is";
}

TEST_F(Archives, SaveThroughTheRouter) {
  auto resp = route_gateway_request(
      request("POST", "/v1/snapshots/save", R"({"name":"routed","transcript":"x","create_only":"yes"})"));
  EXPECT_EQ(resp.status, 200) << resp.body;
  resp = route_gateway_request(
      request("POST", "/v1/snapshots/save", R"({"name":"routed","transcript":"x","create_only":1})"));
  EXPECT_EQ(resp.status, 409);
  EXPECT_EQ(resp.body, R"({"error":"An archive named 'routed' already exists. Pick a new name."})");
}
