#include "agent/src/main/tool_call.hpp"

#include "agent/src/main/clip.hpp"
#include "agent/src/main/hooks.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr size_t kPreToolDetailChars = 300;

// Tools whose replies are sources of figures in every case.
bool reads_source(const std::string& name) {
  return name == "query_mcp" || name == "web_search" || name == "concordance" || name == "read_document";
}

// Tools whose replies are sources only when the query concerns the
// session's scope: rows about other counterparties are no source.
bool reads_scoped_rows(const std::string& name) { return name == "table_query" || name == "datalake_query"; }

void record_figures(WorkspaceStore& ws, const std::string& name, const std::string& input_text,
                    const std::string& reply, const ToolServices& services) {
  if (!services.note_source_figures) return;
  if (reads_source(name)) {
    services.note_source_figures(ws, reply);
    return;
  }
  if (!reads_scoped_rows(name)) return;
  std::string scope = services.session_scope ? to_lower_unicode(services.session_scope(ws)) : std::string();
  if (scope.empty() || to_lower_unicode(input_text).find(scope) != std::string::npos) {
    services.note_source_figures(ws, reply);
  }
}

}  // namespace

ToolCallOutcome run_tool_call(const Keyring& kr, WorkspaceStore* ws, const std::string& name, const SJson& input,
                              const ToolServices& services) {
  const std::string input_text = to_compact(input);
  run_policy_hook(HookKind::PreToolUse, name, input_text, truncate_chars(input_text, kPreToolDetailChars));

  ToolReply reply = services.dispatch ? services.dispatch(kr, ws, name, input)
                                      : ToolReply{"no tool dispatcher is available", true};

  run_policy_hook(HookKind::PostToolUse, name, reply.text,
                  std::string(reply.is_error ? "error" : "ok") + " \u00b7 " +
                      std::to_string(char_count(reply.text)) + " chars");

  if (ws && !reply.is_error) record_figures(*ws, name, input_text, reply.text, services);

  return ToolCallOutcome{std::move(reply.text), input, reply.is_error};
}

}  // namespace drovix::agent
