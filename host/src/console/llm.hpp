#pragma once
// The model servers of "llm.json" in the certificate folder: which are
// enabled, which one new agents use by default, and their connection
// settings. Read afresh on every use.
#include <string>
#include <vector>

#include "common/json.hpp"
#include "host/src/console/llm_choice.hpp"

namespace drovix::host {

// The settings of llm.json: "bedrock" {"region", "model", "key",
// "checked"}, "private" {"host", "model", "key", "checked"} (all strings),
// the enabled servers ("anthropic", "bedrock", "private" in that order;
// never empty) and the default one in `chosen` (always enabled). A launch
// keeps the same record with `chosen` set to the server it runs on.
using LlmSettings = LlmChoice;

// Never fails: a missing or damaged file gives the defaults.
LlmSettings load_llm_settings();
LlmSettings llm_settings_from_json(const OJson& file);

// "Bedrock <region>", "<host> · <model>" for the private server, else
// "Anthropic API".
std::string provider_label(const LlmSettings& settings);

}  // namespace drovix::host
