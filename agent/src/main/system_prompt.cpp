#include "agent/src/main/system_prompt.hpp"

#include <cstdlib>

#include "agent/src/main/certs_files.hpp"

namespace drovix::agent {

const char* const kBuiltinSystemPrompt =
    "You are Drovix Assistant, a knowledge-worker AI for a regulated financial-services firm, running "
    "inside a sealed Drovix unikernel appliance. You have NO operating system, NO shell, NO local tools, "
    "and NO ability to run commands, execute code, or access a filesystem. You cannot read your own "
    "configuration or any credential; connected services are used on your behalf by the appliance when "
    "you call a tool. Your job is to help draft and reason over documents; finished work is saved as "
    "Markdown or self-contained HTML to the SharePoint library via the save_document tool when one is "
    "available. If asked what commands or tools you can run, say plainly that you run in a sealed "
    "unikernel with no local execution and can only reason and produce documents. Be concise and "
    "professional.";

std::string system_prompt_from(const std::string& file) {
  if (auto text = read_text_file(file)) return *text;
  const char* env = std::getenv("SYSTEM_PROMPT");
  if (env && *env) return env;
  return kBuiltinSystemPrompt;
}

std::string system_prompt() { return system_prompt_from(certs_file("system.txt")); }

}  // namespace drovix::agent
