#include "host/src/origin/ingest.hpp"

#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <optional>

#include "common/encoding.hpp"
#include "common/text.hpp"
#include "host/src/console/network.hpp"
#include "host/src/util/files.hpp"
#include "host/src/util/tokens.hpp"

namespace drovix::host {

namespace {

constexpr const char* kAgent = "drovix-agent";

const OJson* member(const OJson& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string text_of(const OJson& record, const char* key) { return json_to_text(member(record, key)); }

int64_t int_of(const OJson& record, const char* key) { return json_as_i64(member(record, key)).value_or(0); }

// A JSON number as Unix milliseconds (fractions cut toward zero, saturated
// to the 64-bit range, NaN as 0); anything else is no time.
std::optional<int64_t> time_of(const OJson& record) {
  const OJson* v = member(record, "ts");
  if (v == nullptr) return std::nullopt;
  if (v->is_number_integer() && !v->is_number_unsigned()) return v->get<int64_t>();
  if (v->is_number_unsigned()) {
    uint64_t u = v->get<uint64_t>();
    return u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                          : static_cast<int64_t>(u);
  }
  if (v->is_number_float()) {
    double d = std::trunc(v->get<double>());
    if (std::isnan(d)) return 0;
    if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}

const OJson& list_of(const OJson& batch, const char* key) {
  static const OJson empty = OJson::array();
  if (!batch.is_object()) return empty;
  auto it = batch.find(key);
  return it != batch.end() && it->is_array() ? *it : empty;
}

// PreToolUse -> hook.pre_tool_use
std::string hook_event_type(const std::string& hook) {
  std::string out = "hook.";
  for (size_t i = 0; i < hook.size(); ++i) {
    char c = hook[i];
    if (c >= 'A' && c <= 'Z') {
      if (i > 0) out += '_';
      out += static_cast<char>(c - 'A' + 'a');
    } else {
      out += c;
    }
  }
  return out;
}

// "{decision} · {detail}" without blanks and middle dots at either end.
std::string hook_text(const std::string& decision, const std::string& detail) {
  static constexpr std::string_view kDot = "\u00b7";
  std::string_view s;
  std::string joined = decision + " \u00b7 " + detail;
  s = joined;
  for (bool changed = true; changed;) {
    changed = false;
    if (starts_with(s, " ")) s.remove_prefix(1), changed = true;
    else if (starts_with(s, kDot)) s.remove_prefix(kDot.size()), changed = true;
  }
  for (bool changed = true; changed;) {
    changed = false;
    if (ends_with(s, " ")) s.remove_suffix(1), changed = true;
    else if (ends_with(s, kDot)) s.remove_suffix(kDot.size()), changed = true;
  }
  return std::string(s);
}

struct Identity {
  std::optional<std::string> session_id;
  std::string os_user;
  std::string host;

  std::string session_for(const OJson& record) const {
    return session_id ? *session_id : text_of(record, "session_id");
  }
};

}  // namespace

OriginSessionInfo lookup_session_info(uint16_t port) { return lookup_session_info(port, host_config().origin); }

OriginSessionInfo lookup_session_info(uint16_t port, const OriginSettings& settings) {
  const std::string p = std::to_string(port);
  OJson registry = read_json_object(vmstate_dir() + "/sessions.json");
  OJson entry = object_or_empty(member(registry, p.c_str()));

  OriginSessionInfo info;
  std::string kept;
  auto started = entry.find("started");
  if (started != entry.end() && started->is_string())
    for (char c : started->get_ref<const std::string&>())
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) kept += c;
  info.session_id = kept.empty() ? "vm-" + p : "fleet-" + p + "-" + kept;
  auto by = entry.find("by");
  info.user = by != entry.end() && by->is_string() ? by->get<std::string>() : "appliance";
  info.host = settings.host + "/vm-" + p;
  return info;
}

OriginBatchRows origin_batch_rows(const OJson& batch, const std::string& peer, const OriginSettings& settings) {
  Identity id;
  if (uint16_t port = vm_port_from_ip(peer); port != 0) {
    OriginSessionInfo info = lookup_session_info(port, settings);
    id.session_id = info.session_id;
    id.os_user = info.user;
    id.host = info.host;
  } else {
    id.os_user = "appliance";
    id.host = settings.host;
  }

  OriginBatchRows rows;
  std::map<std::string, std::string> event_ids;  // raw event_id text -> row id

  for (const auto& ev : list_of(batch, "events")) {
    if (!ev.is_object()) continue;
    const std::string raw = text_of(ev, "event_id");
    const std::string model = text_of(ev, "model");
    const int64_t in = int_of(ev, "input_tokens"), out = int_of(ev, "output_tokens");
    OJson o = {{"event_id", stable_event_id(raw)},
               {"ts", format_event_ts(time_of(ev))},
               {"host", id.host},
               {"os_user", id.os_user},
               {"session_id", id.session_for(ev)},
               {"agent", kAgent},
               {"agent_version", text_of(ev, "agent_version")},
               {"model", model},
               {"event_type", text_of(ev, "event_type")},
               {"text", text_of(ev, "text")},
               {"duration_ms", int_of(ev, "duration_ms")},
               {"input_tokens", in},
               {"output_tokens", out},
               {"cost_usd", event_cost(model, in, out)}};
    AiEventRow row = build_event_row(o, settings);
    event_ids[raw] = row["event_id"].get<std::string>();
    rows.events.push_back(std::move(row));
  }

  for (const auto& sig : list_of(batch, "signals")) {
    if (!sig.is_object()) continue;
    const std::string raw = text_of(sig, "event_id");
    auto known = event_ids.find(raw);
    std::string event_id = known != event_ids.end() ? known->second : stable_event_id(raw);
    OJson context = {{"ts", format_event_ts(time_of(sig))},
                     {"session_id", id.session_for(sig)},
                     {"event_id", event_id},
                     {"host", id.host},
                     {"os_user", id.os_user}};
    rows.signals.push_back(build_signal_row(context, text_of(sig, "rule"), text_of(sig, "severity"),
                                            text_of(sig, "title"), text_of(sig, "detail"), text_of(sig, "field"),
                                            settings));
  }

  // A PostToolUse takes the oldest unanswered PreToolUse id of its tool.
  std::map<std::string, std::deque<std::string>> pending;
  std::vector<AiSignalRow> blocked;
  for (const auto& hk : list_of(batch, "hooks")) {
    if (!hk.is_object()) continue;
    const std::string hook = text_of(hk, "hook"), tool = text_of(hk, "tool");
    const std::string decision = text_of(hk, "decision"), detail = text_of(hk, "detail");
    const bool block = decision == "block";

    std::string tool_use_id;
    OJson o = {{"ts", format_event_ts(time_of(hk))},
               {"host", id.host},
               {"os_user", id.os_user},
               {"session_id", id.session_for(hk)},
               {"agent", kAgent},
               {"event_type", hook_event_type(hook)},
               {"tool_name", tool},
               {"text", hook_text(decision, detail)},
               {"is_error", block ? 1 : 0}};
    if (hook == "PreToolUse") {
      tool_use_id = uuid_v4();
      o["tool_input"] = detail;
      if (!block) pending[tool].push_back(tool_use_id);
    } else if (hook == "PostToolUse") {
      auto q = pending.find(tool);
      if (q != pending.end() && !q->second.empty()) {
        tool_use_id = q->second.front();
        q->second.pop_front();
      }
    }
    o["tool_use_id"] = tool_use_id;
    AiEventRow hook_row = build_event_row(o, settings);

    if (block)
      blocked.push_back(build_signal_row(hook_row, "hook_blocked", "high",
                                         "Blocked by the " + hook + " hook: " + tool, detail, "", settings));
    if (hook == "PreToolUse") {
      OJson call = {{"ts", hook_row["ts"]},
                    {"session_id", hook_row["session_id"]},
                    {"host", id.host},
                    {"os_user", id.os_user},
                    {"agent", kAgent},
                    {"event_type", "tool_call"},
                    {"tool_name", tool},
                    {"tool_use_id", tool_use_id},
                    {"tool_input", detail}};
      rows.events.push_back(std::move(hook_row));
      rows.events.push_back(build_event_row(call, settings));
    } else {
      rows.events.push_back(std::move(hook_row));
    }
  }
  for (auto& s : blocked) rows.signals.push_back(std::move(s));
  return rows;
}

void origin_ingest(const OJson& batch, const std::string& peer) {
  const OriginSettings& settings = host_config().origin;
  if (!settings.enabled) return;
  origin_ingest(origin_sink(), batch, peer);
}

void origin_ingest(const OriginSink& sink, const OJson& batch, const std::string& peer) {
  if (!sink.settings.enabled) return;
  OriginBatchRows rows = origin_batch_rows(batch, peer, sink.settings);
  origin_insert(sink.clickhouse, "ai_events", rows.events);
  origin_insert(sink.clickhouse, "ai_signals", rows.signals);
}

}  // namespace drovix::host
