#include "common/roots.hpp"

namespace drovix {

std::string_view public_roots_pem() {
  static const char kRoots[] =
#include "common/public_roots.inc"
      ;
  return std::string_view(kRoots, sizeof kRoots - 1);
}

}  // namespace drovix
