#pragma once
// The model servers of llm.json as a launch uses them.
#include <string>
#include <vector>

#include "common/json.hpp"

namespace drovix::host {

struct LlmChoice {
  OJson bedrock = OJson::object();           // Bedrock settings ("region", "model", ...)
  OJson private_settings = OJson::object();  // the private model server ("host", "model", ...)
  std::vector<std::string> enabled;          // names of the enabled model servers, never empty
  std::string chosen;                        // the chosen model server's name
};

}  // namespace drovix::host
