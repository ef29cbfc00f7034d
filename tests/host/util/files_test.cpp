#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "host/src/util/files.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix;
using namespace drovix::host;

namespace {

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

size_t entries_in(const std::string& dir) {
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

}  // namespace

TEST(PrivateFiles, CreatesFoldersAndEndsWithMode0600) {
  testbed::TempDir dir;
  std::string path = dir / "a/b/c/token";
  ASSERT_TRUE(write_private_file(path, "s3cret"));
  EXPECT_EQ(testbed::read_text(path), "s3cret");
  EXPECT_EQ(stat_of(path).st_mode & 07777, 0600u);

  // An existing world-readable file is replaced by a private one.
  std::string old = dir / "old";
  testbed::write_text(old, "public");
  ::chmod(old.c_str(), 0644);
  ASSERT_TRUE(write_private_file(old, "private"));
  EXPECT_EQ(stat_of(old).st_mode & 07777, 0600u);
  EXPECT_EQ(testbed::read_text(old), "private");
  EXPECT_EQ(entries_in(dir.path()), 2u);  // no temporary file left beside
}

TEST(PrivateFiles, ReplacesWholeSoAnOpenReaderNeverSeesAMix) {
  testbed::TempDir dir;
  std::string path = dir / "state.json";
  ASSERT_TRUE(write_private_file(path, std::string(100000, 'a')));
  int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(write_private_file(path, "short"));
  // The reader that opened the old file still reads all of it, unchanged.
  std::string seen(200000, '\0');
  ssize_t n = ::pread(fd, seen.data(), seen.size(), 0);
  ::close(fd);
  ASSERT_EQ(n, 100000);
  EXPECT_EQ(seen.substr(0, 100000), std::string(100000, 'a'));
  EXPECT_EQ(testbed::read_text(path), "short");
}

TEST(PrivateFiles, TakesTheFolderOwnerWhenItDiffers) {
  if (!testbed::is_root()) GTEST_SKIP() << "needs root to change owners";
  testbed::TempDir dir;
  std::string vm = dir / "vm";
  ASSERT_EQ(::mkdir(vm.c_str(), 0755), 0);
  ASSERT_EQ(::chown(vm.c_str(), 65534, 65534), 0);
  ASSERT_TRUE(write_private_file(vm + "/relay.json", "{}"));
  auto st = stat_of(vm + "/relay.json");
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  // Same owner: nothing changes.
  ASSERT_TRUE(write_private_file(dir / "mine", "x"));
  EXPECT_EQ(stat_of(dir / "mine").st_uid, ::geteuid());
}

TEST(PrivateFiles, JsonAndCopy) {
  testbed::TempDir dir;
  OJson v = OJson::object();
  v["zeta"] = 1;
  v["alpha"] = OJson::array({"a b", true});
  ASSERT_TRUE(write_private_json(dir / "v.json", v));
  EXPECT_EQ(testbed::read_text(dir / "v.json"), R"({"zeta":1,"alpha":["a b",true]})");

  ASSERT_TRUE(copy_private_file(dir / "v.json", dir / "copy/v.json"));
  EXPECT_EQ(testbed::read_text(dir / "copy/v.json"), testbed::read_text(dir / "v.json"));
  EXPECT_EQ(stat_of(dir / "copy/v.json").st_mode & 07777, 0600u);

  auto missing = copy_private_file(dir / "nope", dir / "dest");
  EXPECT_FALSE(missing);
  EXPECT_NE(missing.message().find("nope"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "dest"));
}

TEST(PrivateFiles, WriteFailureIsReported) {
  testbed::TempDir dir;
  testbed::write_text(dir / "plain", "x");
  EXPECT_FALSE(write_private_file(dir / "plain/below", "y"));  // parent is a file
}

TEST(LenientReaders, MissingBrokenAndValidFiles) {
  testbed::TempDir dir;
  testbed::write_text(dir / "text", " \t\xc2\xa0 token\n\n");
  testbed::write_text(dir / "latin1", "caf\xe9");
  testbed::write_text(dir / "array.json", " [1, 2] \n");
  testbed::write_text(dir / "obj.json", R"({"b":1,"a":2})");
  testbed::write_text(dir / "bad.json", "{\"a\":");

  EXPECT_EQ(read_text_trimmed(dir / "text"), "token");
  EXPECT_EQ(read_text_trimmed(dir / "latin1"), std::nullopt);
  EXPECT_EQ(read_text_trimmed(dir / "missing"), std::nullopt);

  EXPECT_EQ(read_json_file(dir / "array.json"), OJson::array({1, 2}));
  EXPECT_EQ(read_json_file(dir / "bad.json"), std::nullopt);
  EXPECT_EQ(read_json_file(dir / "latin1"), std::nullopt);
  EXPECT_EQ(read_json_file(dir / "missing"), std::nullopt);

  EXPECT_EQ(read_json_object(dir / "obj.json").begin().key(), "b");  // stored order kept
  for (const char* name : {"array.json", "bad.json", "missing", "text"}) {
    OJson o = read_json_object(dir / name);
    EXPECT_TRUE(o.is_object() && o.empty()) << name;
  }
}
