#include "host/src/console/policy.hpp"

#include "host/src/console/replies.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

bool flag_or(const OJson& file, const char* key, bool fallback) {
  auto it = file.find(key);
  return it == file.end() ? fallback : json_truthy(*it);
}

}  // namespace

OJson PolicySettings::to_json() const {
  OJson o = OJson::object();
  o["confidential_internal"] = confidential_internal;
  o["subagent_profile"] = subagent_profile;
  o["export_grant"] = export_grant;
  o["document_reader"] = document_reader;
  return o;
}

PolicySettings policy_from_json(const OJson& file) {
  PolicySettings p;
  if (!file.is_object()) return p;
  p.confidential_internal = flag_or(file, "confidential_internal", p.confidential_internal);
  p.subagent_profile = json_get_str(file, "subagent_profile") == "research" ? "research" : "same";
  p.export_grant = flag_or(file, "export_grant", p.export_grant);
  p.document_reader = flag_or(file, "document_reader", p.document_reader);
  return p;
}

PolicySettings read_policy() { return policy_from_json(read_json_object(certdir_path("policy.json"))); }

}  // namespace drovix::host
