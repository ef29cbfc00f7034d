#pragma once
namespace drovix::host {
inline constexpr const char* kVersion = "0.1.0";
}
