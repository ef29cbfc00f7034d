#pragma once
// Recognising texts that carry an internal / do-not-share marking.
#include <string_view>

namespace drovix::agent {

// True when the text contains any of the confidentiality markers
// ("strictly internal", "must not be shared", "do not share",
// "do-not-share", "not be shared externally", "internal-use",
// "confidential", "internal only"). The caller lower-cases the text first.
bool find_confidential_marker(std::string_view lowered);

}  // namespace drovix::agent
