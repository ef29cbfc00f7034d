#pragma once
namespace drovix::agent {
inline constexpr const char* kVersion = "0.1.0";
}
