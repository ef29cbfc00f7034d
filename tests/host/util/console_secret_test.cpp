#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host/src/util/console_secret.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::host;

TEST(ConsoleSecret, MissingOrEmptyFileGetsANewPrivateSecret) {
  for (bool empty_file : {false, true}) {
    testbed::TempDir dir;
    std::string certs = dir / "fleetcerts";
    if (empty_file) testbed::write_text(certs + "/fleet.secret", "");
    std::string secret = load_console_secret(certs);
    EXPECT_EQ(secret.size(), 32u) << empty_file;
    EXPECT_EQ(testbed::read_text(certs + "/fleet.secret"), secret);
    struct stat st {};
    ASSERT_EQ(::stat((certs + "/fleet.secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // The next start reads the same key back.
    EXPECT_EQ(load_console_secret(certs), secret);
  }
}

TEST(ConsoleSecret, ExistingContentIsTheSecretWhateverItsLength) {
  testbed::TempDir dir;
  std::string raw("k\0\n y", 5);
  testbed::write_text(dir / "fleet.secret", raw);
  EXPECT_EQ(load_console_secret(dir.path()), raw);
}

TEST(ConsoleSecret, UnwritableFolderStillGivesAKey) {
  testbed::TempDir dir;
  testbed::write_text(dir / "file", "x");
  std::string a = load_console_secret(dir / "file");  // certs is a plain file
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(load_console_secret(dir / "file"), a);
}
