#pragma once
// The first half of a launch: the request read into LaunchSettings, every
// refusal in its fixed order, the connectors, the model server with the
// relay's upstream record, and the information-flow labels.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/json.hpp"
#include "common/result.hpp"
#include "host/src/console/llm.hpp"

namespace drovix::host {

// What a sub-agent launch passes besides its request.
struct SubAgentLaunch {
  std::string name;
  std::string task;
  OJson parent_started;                 // copied into the child's record
  OJson parent_labels = OJson::object();  // source side of "no write down"
  uint16_t parent_port = 0;
  bool declassified = false;            // skip the no-write-down rule
};

// The normalised launch values the checks produce.
struct LaunchSettings {
  bool audit = true;
  std::string onedrive = "none";  // "ro", "rw" or "none"
  bool datalake = false;
  std::string desk;  // empty when the Data Lake is off
  bool web = false;
  bool skills = false;
  OJson hooks = OJson::object();  // the five hook flags in their order
  int64_t workspace_mb = 0;
  std::string workspace_folder;
  std::string sharepoint_root;
  std::string session_mode = "new";  // "new" or "resume"
  bool ephemeral = false;
  std::string archive;
  bool reader = false;
  int64_t subagent_limit = 0;
  std::string subagent_profile = "same";
  bool share_workspace = false;
  std::string resume_file;
  std::vector<OJson> services;  // vault entries the VM gets
  LlmChoice llm;
  OJson labels = OJson::object();  // {"confidential", "external"}
  std::string provider_path = "/";
  OJson upstream = OJson::object();
};

inline constexpr const char* kHookNames[] = {"user_prompt_submit", "pre_api_call", "pre_tool_use", "post_tool_use",
                                             "pre_response"};

// Runs the checks that need no lock. A refusal is an error whose message is
// the text the user sees; the two label refusals also emit their audit
// signal. Starting the web-search companion is the only other side effect.
Result<LaunchSettings> check_launch_request(const OJson& request, const std::string& user,
                                            const std::optional<SubAgentLaunch>& sub);

// Under the launch lock: the workspace pool check, then the first free slot
// (port, VM number).
Result<std::pair<uint16_t, uint16_t>> check_pool_and_choose_slot(int64_t workspace_mb);

// {"confidential": datalake, "external": web or provider "anthropic"}.
OJson session_labels(bool datalake, bool web, const std::string& provider);
// "confidential", "external", "confidential + external" or "internal".
std::string label_text(const OJson& labels);
// False only when confidential data would reach an external, not
// confidential session.
bool label_may_flow(const OJson& from, const OJson& to);
// The confidential-internal policy's refusal text; empty when the launch
// keeps to it.
std::string explain_launch_policy(const OJson& labels, bool web, const std::string& provider);

// The model-server settings with the given server chosen (the default for
// an empty name); nothing when that server is not enabled.
std::optional<LlmChoice> provider_settings(const std::string& name);

// WORKSPACE_POOL_MB as an optional sign and digits, else 10240.
int64_t workspace_pool_mb();
int64_t workspace_pool_mb_from(const char* value);
// The workspace MB of every session whose unit is active.
int64_t workspace_used_mb();
int64_t workspace_used_mb(const std::set<uint16_t>& running);

OJson error_object_owned(std::string text);

// Public endpoints of the model servers the relay forwards to.
std::string anthropic_api_host();
std::string bedrock_runtime_host(const std::string& region);

}  // namespace drovix::host
