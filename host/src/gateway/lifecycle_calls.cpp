#include "host/src/gateway/lifecycle_calls.hpp"

#include "common/text.hpp"
#include "host/src/util/commands.hpp"

namespace drovix::host {

ReaderSlotTable& reader_slot_table() {
  static ReaderSlotTable table;
  return table;
}

OJson start_subagent(uint16_t, const std::string&, const std::string&, const std::optional<OJson>&,
                     const std::string&) {
  return OJson{{"error", "this agent was launched without sub-agents"}};
}

OJson start_reader(uint16_t, const OJson&) {
  return OJson{{"error",
                "off: an admin turned off the document reader (Admin, Policy), so PDF, .doc, .xls and .ppt files are "
                "skipped"}};
}

OJson deliver_subagent_result(uint16_t, const std::string&, const std::string&) {
  return OJson{{"error", "this agent was launched without sub-agents"}};
}

bool reader_unit_active(int slot) {
  auto out = run_command({"systemctl", "is-active", "drovix-reader-" + std::to_string(slot)}, 10);
  return out && trim_ascii(out->stdout_bytes) == "active";
}

void rebuild_reader_firewall(const std::map<int, ReaderSlot>&) {
  // No reader network exists on this host yet, so there is no chain to
  // rebuild.
}

}  // namespace drovix::host
