#include "agent/src/main/sealed_blob.hpp"

#include "common/crypto.hpp"

namespace drovix::agent {

Result<SJson> open_sealed_blob(std::string_view sealed, std::string_view passphrase) {
  auto plain = open_blob(sealed, passphrase);
  if (!plain) return plain.error();
  try {
    return SJson::parse(*plain);
  } catch (const SJson::exception& e) {
    return Error(ErrorKind::InvalidData, std::string("blob json: ") + e.what());
  }
}

}  // namespace drovix::agent
