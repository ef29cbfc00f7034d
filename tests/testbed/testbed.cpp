#include "tests/testbed/testbed.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testbed {

TempDir::TempDir() {
  char tmpl[] = "/tmp/drovix-test-XXXXXX";
  char* p = mkdtemp(tmpl);
  if (!p) std::abort();
  path_ = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string source_dir() {
  const char* e = std::getenv("DROVIX_SOURCE_DIR");
  return e && *e ? e : DROVIX_SOURCE_DIR;
}

std::string binary_dir() {
  const char* e = std::getenv("DROVIX_BINARY_DIR");
  return e && *e ? e : DROVIX_BINARY_DIR;
}

int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

void write_text(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

std::string read_text(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool is_root() { return ::geteuid() == 0; }

int sh(const std::string& cmdline) {
  int st = std::system(cmdline.c_str());
  if (st == -1) return -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string sh_out(const std::string& cmdline) {
  std::string out;
  FILE* p = ::popen(cmdline.c_str(), "r");
  if (!p) return out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  ::pclose(p);
  return out;
}

namespace {

// Makes /etc an overlay so that users and groups a test creates stay in it.
bool overlay_etc(const std::string& scratch) {
  std::string upper = scratch + "/upper", work = scratch + "/work";
  std::filesystem::create_directories(upper);
  std::filesystem::create_directories(work);
  std::string opts = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
  return ::mount("overlay", "/etc", "overlay", 0, opts.c_str()) == 0;
}

}  // namespace

void run_in_netns(const std::function<void()>& body) {
  ASSERT_TRUE(is_root()) << "namespace tests run as root";
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int code = 0;
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
      std::perror("unshare");
      ::_exit(3);
    }
    ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    // A tmpfs holds the overlay's upper layer, so nothing reaches the disk.
    char tmpl[] = "/tmp/drovix-ns-XXXXXX";
    char* scratch = mkdtemp(tmpl);
    if (!scratch || ::mount("tmpfs", scratch, "tmpfs", 0, "size=64m") != 0 || !overlay_etc(scratch)) {
      std::perror("mount");
      ::_exit(3);
    }
    // Mounting /sys again shows this namespace's own network devices.
    ::mount("sysfs", "/sys", "sysfs", 0, nullptr);
    if (sh("ip link set lo up") != 0) ::_exit(3);
    body();
    code = ::testing::Test::HasFailure() ? 1 : 0;
    std::fflush(stdout);
    std::fflush(stderr);
    ::umount2(scratch, MNT_DETACH);
    ::rmdir(scratch);
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "namespace child ended by signal " << WTERMSIG(status);
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the test body failed inside its namespace (see above)";
}

namespace {

// Copies bytes one way until either side ends.
void pump(int from, int to) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(from, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t off = 0; off < n;) {
      ssize_t w = ::write(to, buf + off, static_cast<size_t>(n - off));
      if (w <= 0) return;
      off += w;
    }
  }
  ::shutdown(to, SHUT_WR);
}

}  // namespace

void bridge_port_into_netns(int port) {
  int parent_ns = ::open(("/proc/" + std::to_string(::getppid()) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(parent_ns, 0);
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 64), 0);
  // The copying thread moves into the parent's network namespace, so the
  // sockets it opens reach the server there; the listener stays here.
  std::thread([listener, parent_ns, addr] {
    if (::setns(parent_ns, CLONE_NEWNET) != 0) return;
    for (;;) {
      int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(upstream, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(client);
        ::close(upstream);
        continue;
      }
      std::thread([client, upstream] {
        std::thread back([client, upstream] { pump(upstream, client); });
        pump(client, upstream);
        back.join();
        ::close(client);
        ::close(upstream);
      }).detach();
    }
  }).detach();
}

}  // namespace testbed
