#include "tests/agent/main/certs_mount.hpp"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "tests/testbed/testbed.hpp"

namespace agenttest {

void with_certs(const std::string& folder, const std::function<void()>& body) {
  testbed::run_in_netns([&] {
    // The mount point itself must exist; it stays an empty folder outside
    // the namespace.
    if (::mkdir("/certs", 0755) != 0 && errno != EEXIST) FAIL() << "mkdir /certs: " << std::strerror(errno);
    ASSERT_EQ(::mount(folder.c_str(), "/certs", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    body();
  });
}

}  // namespace agenttest
