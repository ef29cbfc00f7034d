#pragma once
// The public web PKI root certificates built into the binaries, as PEM text.
#include <string_view>

namespace drovix {
std::string_view public_roots_pem();
}
