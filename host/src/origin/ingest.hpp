#pragma once
// The origin sink's entry for agent audit batches (the body of POST
// /v1/events): every event, signal and hook record becomes a row of
// origin.ai_events or origin.ai_signals.
#include <cstdint>
#include <string>
#include <vector>

#include "common/json.hpp"
#include "host/src/origin/rows.hpp"

namespace drovix::host {

// What the host knows of the session behind a VM slot.
struct OriginSessionInfo {
  std::string session_id;  // "fleet-{port}-{start time digits}" or "vm-{port}"
  std::string user;        // who launched it, "appliance" when unknown
  std::string host;        // "{origin host}/vm-{port}"
};

// Reads the session registry afresh (no lock); never fails.
OriginSessionInfo lookup_session_info(uint16_t port);
OriginSessionInfo lookup_session_info(uint16_t port, const OriginSettings& settings);

struct OriginBatchRows {
  std::vector<AiEventRow> events;
  std::vector<AiSignalRow> signals;
};

// The rows of one batch from the VM at peer (an address as text), in table
// order: events, then each hook with its tool-call row; signals, then the
// signals of blocking hooks.
OriginBatchRows origin_batch_rows(const OJson& batch, const std::string& peer, const OriginSettings& settings);

// Builds and inserts the rows of one batch when the sink is enabled; at
// most one request per table. Nothing is reported to the caller.
void origin_ingest(const OJson& batch, const std::string& peer);
void origin_ingest(const OriginSink& sink, const OJson& batch, const std::string& peer);

}  // namespace drovix::host
