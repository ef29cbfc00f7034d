#include "host/src/console/llm.hpp"

#include "host/src/console/replies.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

constexpr const char* kProviders[] = {"anthropic", "bedrock", "private"};

std::string string_or(const OJson& obj, const char* key, const std::string& fallback) {
  auto it = obj.find(key);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : fallback;
}

// The stored model counts only beside a stored key, so a server without a
// key always shows its default model.
std::string model_of(const OJson& obj, const std::string& fallback) {
  auto key = obj.find("key");
  bool has_key = key != obj.end() && key->is_string() && !key->get_ref<const std::string&>().empty();
  auto model = obj.find("model");
  if (has_key && model != obj.end() && model->is_string()) return model->get<std::string>();
  return fallback;
}

OJson normalised_bedrock(const OJson& file) {
  auto it = file.find("bedrock");
  OJson src = it != file.end() && it->is_object() ? *it : OJson::object();
  OJson o = OJson::object();
  o["region"] = string_or(src, "region", "us-east-2");
  o["model"] = model_of(src, "us.anthropic.claude-sonnet-5");
  o["key"] = string_or(src, "key", "");
  o["checked"] = string_or(src, "checked", "");
  return o;
}

OJson normalised_private(const OJson& file) {
  auto it = file.find("private");
  OJson src = it != file.end() && it->is_object() ? *it : OJson::object();
  OJson o = OJson::object();
  o["host"] = string_or(src, "host", "");
  o["model"] = model_of(src, "qwen3:14b");
  o["key"] = string_or(src, "key", "");
  o["checked"] = string_or(src, "checked", "");
  return o;
}

}  // namespace

LlmSettings llm_settings_from_json(const OJson& file_in) {
  const OJson file = file_in.is_object() ? file_in : OJson::object();
  LlmSettings s;
  s.bedrock = normalised_bedrock(file);
  s.private_settings = normalised_private(file);

  OJson candidates = OJson::array();
  if (auto it = file.find("enabled"); it != file.end() && it->is_array()) {
    candidates = *it;
  } else {
    auto p = file.find("provider");
    candidates.push_back(p != file.end() ? *p : OJson());
  }
  for (const char* name : kProviders) {
    bool named = false;
    for (const auto& c : candidates)
      if (c.is_string() && c.get_ref<const std::string&>() == name) named = true;
    if (!named) continue;
    std::string n = name;
    if (n == "bedrock" && s.bedrock["key"].get_ref<const std::string&>().empty()) continue;
    if (n == "private" && s.private_settings["key"].get_ref<const std::string&>().empty()) continue;
    s.enabled.push_back(n);
  }
  if (s.enabled.empty()) s.enabled.push_back("anthropic");

  const OJson* wanted = nullptr;
  if (auto it = file.find("default"); it != file.end()) {
    wanted = &*it;
  } else if (auto p = file.find("provider"); p != file.end()) {
    wanted = &*p;
  }
  s.chosen = s.enabled.front();
  if (wanted && wanted->is_string() && !wanted->get_ref<const std::string&>().empty()) {
    for (const auto& e : s.enabled)
      if (e == wanted->get_ref<const std::string&>()) s.chosen = e;
  }
  return s;
}

LlmSettings load_llm_settings() { return llm_settings_from_json(read_json_object(certdir_path("llm.json"))); }

std::string provider_label(const LlmSettings& settings) {
  if (settings.chosen == "bedrock") return "Bedrock " + json_get_str(settings.bedrock, "region");
  if (settings.chosen == "private")
    return json_get_str(settings.private_settings, "host") + " \u00b7 " + json_get_str(settings.private_settings, "model");
  return "Anthropic API";
}

}  // namespace drovix::host
