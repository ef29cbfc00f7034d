#pragma once
// Which options the launch form offers ("features.json" in the certificate
// folder), read afresh on every use. True means shown.
#include "common/json.hpp"

namespace drovix::host {

struct FeatureSettings {
  bool onedrive = true;
  bool datalake = true;
  bool web = true;
  bool audit = true;
  bool skills = true;
  bool subagents = true;
  bool archive = true;

  // The seven switches in the order above.
  OJson to_json() const;
};

// A missing or unreadable file, or a missing switch, reads as shown.
FeatureSettings read_features();
FeatureSettings features_from_json(const OJson& file);

}  // namespace drovix::host
