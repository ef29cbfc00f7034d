#pragma once
// The single-page console served at "/".
#include <string>

namespace drovix::host {

const std::string& console_page();

}  // namespace drovix::host
