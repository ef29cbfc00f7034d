#pragma once
// The base system prompt of every chat turn and sub-agent task.
#include <string>

namespace drovix::agent {

extern const char* const kBuiltinSystemPrompt;

// /certs/system.txt (trimmed), else the environment variable SYSTEM_PROMPT
// when it is set and not empty, else the built-in text. Read on every call.
std::string system_prompt();
// The same with the prompt file at another path.
std::string system_prompt_from(const std::string& file);

}  // namespace drovix::agent
