#include "host/src/util/console_secret.hpp"

#include "common/encoding.hpp"
#include "common/fs.hpp"
#include "host/src/main/config.hpp"
#include "host/src/util/files.hpp"

namespace drovix::host {

std::string load_console_secret(const std::string& certs) {
  std::string path = certs + "/fleet.secret";
  auto existing = read_file(path);
  // An empty key would make every cookie signature guessable.
  if (existing && !existing->empty()) return std::move(*existing);
  std::string secret = random_bytes(32);
  (void)write_private_file(path, secret);
  return secret;
}

const std::string& console_secret() {
  static const std::string secret = load_console_secret(host_config().certs);
  return secret;
}

}  // namespace drovix::host
