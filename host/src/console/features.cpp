#include "host/src/console/features.hpp"

#include "host/src/console/replies.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {
namespace {

bool shown(const OJson& file, const char* key) {
  auto it = file.find(key);
  return it == file.end() || json_truthy(*it);
}

}  // namespace

OJson FeatureSettings::to_json() const {
  OJson o = OJson::object();
  o["onedrive"] = onedrive;
  o["datalake"] = datalake;
  o["web"] = web;
  o["audit"] = audit;
  o["skills"] = skills;
  o["subagents"] = subagents;
  o["archive"] = archive;
  return o;
}

FeatureSettings features_from_json(const OJson& file) {
  FeatureSettings f;
  if (!file.is_object()) return f;
  f.onedrive = shown(file, "onedrive");
  f.datalake = shown(file, "datalake");
  f.web = shown(file, "web");
  f.audit = shown(file, "audit");
  f.skills = shown(file, "skills");
  f.subagents = shown(file, "subagents");
  f.archive = shown(file, "archive");
  return f;
}

FeatureSettings read_features() {
  // read_json_object turns a missing or invalid file into {}, which reads
  // as every option shown.
  return features_from_json(read_json_object(certdir_path("features.json")));
}

}  // namespace drovix::host
