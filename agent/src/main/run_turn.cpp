#include "agent/src/main/run_turn.hpp"

#include <cstdio>

#include "agent/src/main/text_push.hpp"
#include "agent/src/main/turn_guards.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

constexpr size_t kSubjectChars = 160;
constexpr size_t kWhyChars = 220;

uint64_t count_at(const SJson& reply, const char* pointer) {
  const SJson::json_pointer ptr(pointer);
  if (!reply.contains(ptr)) return 0;
  const SJson& v = reply.at(ptr);
  return v.is_number_unsigned() ? v.get<uint64_t>() : 0;
}

std::string status_word(const std::string& name, const std::string& text, bool is_error) {
  if (starts_with(text, "BLOCKED")) return "blocked";
  if (name == "query_mcp" && text.find("BLOCKED") != std::string::npos) return "blocked";
  if (!is_error) return "ok";
  if (text.find("404") != std::string::npos) return "not found";
  if (to_lower_unicode(text).find("not found") != std::string::npos) return "not found";
  return "error";
}

std::string call_subject(const std::string& name, const SJson& input) {
  if (name == "query_mcp") {
    std::string server = json_get_str(input, "server_id");
    const SJson::json_pointer tool_name("/params/name");
    if (input.is_object() && input.contains(tool_name) && input.at(tool_name).is_string()) {
      std::string tn = input.at(tool_name).get<std::string>();
      if (!tn.empty()) return server + " \u00b7 " + tn;
    }
    return server;
  }
  if (name == "spawn_agent") return json_get_str(input, "name");
  if (name == "datalake_query") return json_get_str(input, "sql");
  for (const char* key : {"path", "table", "save_as", "recipe", "folder", "query", "name", "op", "expr"}) {
    std::string v = json_get_str(input, key);
    if (!v.empty()) return v;
  }
  return {};
}

bool is_space_byte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string link_in(const std::string& text) {
  constexpr std::string_view kLink = " Link: https://";
  size_t at = text.find(kLink);
  if (at == std::string::npos) return {};
  size_t begin = at + std::string_view(" Link: ").size();
  size_t end = begin;
  while (end < text.size() && !is_space_byte(text[end])) ++end;
  return text.substr(begin, end - begin);
}

void print_tool_line(const std::string& name, const std::string& text, bool is_error) {
  std::string line = "tool " + name + " -> " + (is_error ? "ERR: " : "ok: ") + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

SJson tool_result_block(const std::string& id, SJson content, bool is_error) {
  SJson block = SJson::object();
  block["type"] = "tool_result";
  block["tool_use_id"] = id;
  block["content"] = std::move(content);
  block["is_error"] = is_error;
  return block;
}

}  // namespace

ToolResultContent tool_result_content(std::string text) {
  if (!starts_with(text, kImageMarker)) return {SJson(text), std::move(text)};
  size_t second = text.find(kImageMarker, kImageMarker.size());
  if (second == std::string::npos) return {SJson(text), std::move(text)};
  std::string header = text.substr(kImageMarker.size(), second - kImageMarker.size());
  std::string tail = text.substr(second + kImageMarker.size());
  size_t blank = header.find(' ');
  if (blank == std::string::npos) return {SJson(tail), std::move(tail)};
  SJson image = SJson::object();
  image["type"] = "image";
  image["source"] = SJson{{"type", "base64"}, {"media_type", header.substr(0, blank)}, {"data", header.substr(blank + 1)}};
  SJson caption = SJson::object();
  caption["type"] = "text";
  caption["text"] = tail;
  return {SJson::array({std::move(image), std::move(caption)}), std::move(tail)};
}

std::string step_line(const std::string& name, const SJson& input, const std::string& text, bool is_error) {
  std::string status = status_word(name, text, is_error);
  SJson info = SJson::object();
  std::string subject = call_subject(name, input);
  if (!subject.empty()) {
    std::string on;
    push_chars_upto(on, subject, kSubjectChars);
    info["on"] = on;
  }
  std::string url = link_in(text);
  if (!url.empty()) info["url"] = url;
  if (status != "ok") {
    size_t from = text.find("BLOCKED");
    if (from == std::string::npos) from = 0;
    std::string why;
    push_chars_until_quote(why, std::string_view(text).substr(from), kWhyChars);
    why = trim_unicode(why);
    if (!why.empty()) info["why"] = why;
  }
  return "\n\u2699 " + name + " \u2192 " + status + "\t" + to_compact(info) + "\n";
}

Result<TurnResult> run_turn(const Keyring& kr, WorkspaceStore* ws, const Messages& conversation,
                            const std::string& prompt, const std::string& system, const SJson& tools,
                            std::vector<ComplianceSignal>& signals, const TextSink& sink,
                            const ToolServices& services) {
  return run_turn(kr, ws, conversation, prompt, system, tools, signals, sink, services, default_connector());
}

Result<TurnResult> run_turn(const Keyring& kr, WorkspaceStore* ws, const Messages& conversation,
                            const std::string& prompt, const std::string& system, const SJson& tools,
                            std::vector<ComplianceSignal>& signals, const TextSink& sink,
                            const ToolServices& services, const ServiceConnector& connect) {
  if (trim_unicode(prompt).empty()) return Error("empty prompt");

  Messages messages = conversation;
  const size_t own_from = messages.size();
  messages.push_back(SJson{{"role", "user"}, {"content", prompt}});

  TurnResult out;
  unsigned rounds = 0;
  for (;;) {
    ModelRequest body = model_request_body(kTurnMaxTokens, system, &tools, SJson(messages), false);

    auto reply = call_model(kr, body, "messages", connect);
    if (!reply) return reply.error();

    out.input_tokens += count_at(*reply, "/usage/input_tokens");
    out.output_tokens += count_at(*reply, "/usage/output_tokens");
    SJson content = SJson::array();
    std::string stop_reason;
    if (reply->is_object()) {
      auto c = reply->find("content");
      if (c != reply->end() && c->is_array()) content = *c;
      stop_reason = json_get_str(*reply, "stop_reason");
    }

    messages.push_back(SJson{{"role", "assistant"}, {"content", content}});
    ++rounds;

    SJson results = SJson::array();
    for (const SJson& block : content) {
      const std::string type = json_get_str(block, "type");
      if (type == "text") {
        auto t = block.find("text");
        if (t == block.end() || !t->is_string()) continue;
        const std::string& text = t->get_ref<const std::string&>();
        pre_response_hook(text);
        out.text += text;
        if (auto st = sink(text); !st) return Error("browser: " + st.message());
      } else if (type == "tool_use") {
        const std::string id = json_get_str(block, "id");
        const std::string name = json_get_str(block, "name");
        auto in = block.find("input");
        const SJson input = in != block.end() ? *in : SJson();

        if (stop_reason == "max_tokens") {
          (void)sink("\n\u2699 " + name + " \u2192 cut off\n");
          results.push_back(tool_result_block(id, kNotRunText, true));
          continue;
        }

        ToolCallOutcome outcome = run_tool_call(kr, ws, name, input, services);
        ToolResultContent shown = tool_result_content(std::move(outcome.text));
        print_tool_line(name, shown.text, outcome.is_error);
        apply_turn_guards(GuardedCall{name, outcome.input, shown.text, outcome.is_error}, signals);
        (void)sink(step_line(name, outcome.input, shown.text, outcome.is_error));
        results.push_back(tool_result_block(id, std::move(shown.content), outcome.is_error));
      }
    }

    // Every tool_use block must be answered by a result in the next user
    // message, whatever stop reason came with it; a history holding calls
    // without results is refused by the API on every later turn.
    if (results.empty()) break;
    messages.push_back(SJson{{"role", "user"}, {"content", std::move(results)}});
    if (rounds >= kTurnRoundLimit) break;
  }

  out.messages.assign(std::make_move_iterator(messages.begin() + static_cast<std::ptrdiff_t>(own_from)),
                      std::make_move_iterator(messages.end()));
  return out;
}

}  // namespace drovix::agent
