#pragma once
// Helpers every suite shares: scratch folders, free loopback ports and
// running a test body inside network and mount namespaces of its own.
#include <functional>
#include <string>

namespace testbed {

// A fresh folder under /tmp, removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string source_dir();
std::string binary_dir();

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);

// Runs body in a child process that has its own network namespace (loopback
// up, nothing else) and its own mount namespace in which /etc is an overlay
// whose changes vanish with the child. Must run as root. Failures inside the
// body are reported by the child and make the calling test fail.
void run_in_netns(const std::function<void()>& body);

// Runs a shell command line (inside the current namespaces) and returns its
// exit status; output goes to the test log.
int sh(const std::string& cmdline);
// Runs a shell command line and returns its standard output.
std::string sh_out(const std::string& cmdline);

bool is_root();

// Called inside run_in_netns: makes 127.0.0.1:port of this namespace reach
// 127.0.0.1:port of the parent's namespace (where, for example, the test
// ClickHouse server listens). Bytes are copied both ways, with half-close.
void bridge_port_into_netns(int port);

}  // namespace testbed
