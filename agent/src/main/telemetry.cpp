#include "agent/src/main/telemetry.hpp"

#include <algorithm>
#include <thread>

#include "agent/src/main/clock.hpp"
#include "agent/src/main/console_line.hpp"
#include "agent/src/main/event_id.hpp"
#include "agent/src/main/http_client.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

// Sends one batch to POST /v1/events; the reply, or why there is none.
struct Delivery {
  enum Outcome { Sent, ConnectFailed, Blocked } outcome = Sent;
  std::string text;  // the status line, the connection error or the refusal
};

Delivery post_events(const Keyring& kr, const ServiceEndpoint& ep, const std::string& body) {
  auto conn = gateway_connect(ep.ip, ep.host);
  if (!conn) return {Delivery::ConnectFailed, conn.message()};
  if (auto err = keyring_request_head(kr, "telemetry", ep.host, "POST /v1/events HTTP/1.1",
                                      {{"content-type", "application/json"}}, body, **conn))
    return {Delivery::Blocked, err->text()};
  // The whole reply as far as it can be read; only its status line is used.
  std::string reply;
  char buf[4096];
  for (;;) {
    auto r = (*conn)->read_some(buf, sizeof buf);
    if (!r || *r == 0) break;
    reply.append(buf, *r);
  }
  std::string text = utf8_lossy(reply);
  size_t nl = text.find('\n');
  std::string line = nl == std::string::npos ? std::string() : text.substr(0, nl);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return {Delivery::Sent, line};
}

}  // namespace

ComplianceSignal new_signal(std::string rule, std::string severity, std::string title, std::string detail,
                            std::string field) {
  return {std::move(rule), std::move(severity), std::move(title), std::move(detail), std::move(field)};
}

SJson telemetry_event_json(const TelemetryEvent& ev) {
  SJson j = SJson::object();
  j["agent"] = kTelemetryAgent;
  j["agent_version"] = kTelemetryAgentVersion;
  j["event_id"] = ev.event_id;
  j["event_type"] = ev.event_type;
  j["host"] = kTelemetryHost;
  j["model"] = ev.model;
  j["session_id"] = ev.session_id;
  j["text"] = ev.text;
  j["ts"] = ev.ts;
  if (ev.usage) {
    j["cost_usd"] = ev.usage->cost_usd;
    j["duration_ms"] = ev.usage->duration_ms;
    j["input_tokens"] = ev.usage->input_tokens;
    j["output_tokens"] = ev.usage->output_tokens;
  }
  return j;
}

SJson audit_batch_json(const AuditBatch& batch) {
  SJson j = SJson::object();
  SJson events = SJson::array();
  for (const auto& ev : batch.events) events.push_back(telemetry_event_json(ev));
  j["events"] = std::move(events);
  if (batch.hooks) j["hooks"] = SJson(*batch.hooks);
  j["signals"] = SJson(batch.signals);
  return j;
}

std::vector<SJson> signal_json(const std::vector<ComplianceSignal>& signals, uint64_t assistant_ts,
                               const std::string& session_id, const std::string& assistant_event_id) {
  std::vector<SJson> out;
  out.reserve(signals.size());
  for (const auto& s : signals) {
    SJson j = SJson::object();
    j["detail"] = s.detail;
    j["event_id"] = assistant_event_id;
    j["field"] = s.field;
    j["host"] = kTelemetryHost;
    j["match_len"] = 0u;
    j["match_offset"] = 0u;
    j["os_user"] = kSignalOsUser;
    j["rule"] = s.rule;
    j["session_id"] = session_id;
    j["severity"] = s.severity;
    j["signal_id"] = new_event_id();
    j["title"] = s.title;
    j["ts"] = assistant_ts;
    out.push_back(std::move(j));
  }
  return out;
}

AuditBatch turn_batch(const std::string& session_id, const std::string& prompt, const std::string& answer,
                      const std::string& model, uint64_t input_tokens, uint64_t output_tokens, uint64_t start_ms,
                      uint64_t end_ms, const std::vector<ComplianceSignal>& signals, std::vector<SJson> hooks) {
  uint64_t assistant_ts = std::max(end_ms, start_ms + 1);
  TelemetryEvent user;
  user.event_id = new_event_id();
  TelemetryEvent assistant;
  assistant.event_id = new_event_id();

  user.event_type = "user_prompt";
  user.model = model;
  user.session_id = session_id;
  user.text = take_chars(utf8_lossy(prompt), kTelemetryTextChars);
  user.ts = start_ms;

  assistant.event_type = "assistant";
  assistant.model = model;
  assistant.session_id = session_id;
  assistant.text = take_chars(utf8_lossy(answer), kTelemetryTextChars);
  assistant.ts = assistant_ts;
  assistant.usage = TelemetryEvent::Usage{3 * input_tokens + 15 * output_tokens,
                                          static_cast<int64_t>(assistant_ts - start_ms), input_tokens,
                                          output_tokens};

  AuditBatch batch;
  batch.signals = signal_json(signals, assistant_ts, session_id, assistant.event_id);
  batch.events.push_back(std::move(user));
  batch.events.push_back(std::move(assistant));
  batch.hooks = std::move(hooks);
  return batch;
}

void send_telemetry(const Keyring& kr, const std::string& session_id, const std::string& prompt,
                    const std::string& answer, const std::string& model, uint64_t input_tokens,
                    uint64_t output_tokens, uint64_t start_ms, uint64_t end_ms, std::vector<ComplianceSignal> signals,
                    std::vector<SJson> hooks) {
  auto ep = keyring_endpoint(kr, "telemetry");
  if (!ep) {
    console_line("telemetry: no credential \u2014 skipping");
    return;
  }
  AuditBatch batch = turn_batch(session_id, prompt, answer, model, input_tokens, output_tokens, start_ms, end_ms,
                                signals, std::move(hooks));
  if (!batch.signals.empty()) console_line("signals: " + std::to_string(batch.signals.size()) + " raised this turn");
  std::string body = to_compact(audit_batch_json(batch));
  Delivery d = post_events(kr, *ep, body);
  switch (d.outcome) {
    case Delivery::ConnectFailed:
      console_line("telemetry connect: " + d.text);
      break;
    case Delivery::Blocked:
      console_line("telemetry blocked: " + d.text);
      break;
    case Delivery::Sent:
      console_line("telemetry -> /v1/events: " + d.text);
      break;
  }
}

void send_signals(const Keyring& kr, const std::string& rule, const std::string& severity, const std::string& title,
                  const std::string& detail) {
  auto ep = keyring_endpoint(kr, "telemetry");
  if (!ep) return;
  AuditBatch batch;
  const std::string event_id = new_event_id();
  batch.signals = signal_json({new_signal(rule, severity, title, detail, "workspace")}, now_millis(), "workspace",
                              event_id);
  std::string body = to_compact(audit_batch_json(batch));
  auto conn = gateway_connect(ep->ip, ep->host);
  if (!conn) return;
  if (keyring_request_head(kr, "telemetry", ep->host, "POST /v1/events HTTP/1.1",
                           {{"content-type", "application/json"}}, body, **conn))
    return;
  (void)http_exchange(std::move(*conn));
}

void telemetry_thread(std::shared_ptr<const Keyring> kr, TurnReport report) {
  std::thread([kr = std::move(kr), r = std::move(report)]() mutable {
    send_telemetry(*kr, r.session_id, r.prompt, r.answer, r.model, r.input_tokens, r.output_tokens, r.start_ms,
                   r.end_ms, std::move(r.signals), std::move(r.hooks));
  }).detach();
}

void short_telemetry_thread(std::shared_ptr<const Keyring> kr, std::string session_id, std::string prompt,
                            std::string failure_text, uint64_t start_ms, std::vector<SJson> hooks) {
  std::thread([kr = std::move(kr), session_id = std::move(session_id), prompt = std::move(prompt),
               failure_text = std::move(failure_text), start_ms, hooks = std::move(hooks)]() mutable {
    send_telemetry(*kr, session_id, prompt, failure_text, "", 0, 0, start_ms, now_millis(), {}, std::move(hooks));
  }).detach();
}

void subagent_telemetry_thread(std::shared_ptr<const Keyring> kr, TurnReport report) {
  std::thread([kr = std::move(kr), r = std::move(report)]() mutable {
    send_telemetry(*kr, r.session_id, r.prompt, r.answer, r.model, r.input_tokens, r.output_tokens, r.start_ms,
                   now_millis(), std::move(r.signals), std::move(r.hooks));
  }).detach();
}

}  // namespace drovix::agent
