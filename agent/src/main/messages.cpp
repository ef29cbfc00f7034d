#include "agent/src/main/messages.hpp"

#include <algorithm>

#include "agent/src/main/text_push.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

SJson text_block(const char* text) { return SJson{{"type", "text"}, {"text", text}}; }

bool has_type(const SJson& v, const char* type) {
  if (!v.is_object()) return false;
  auto it = v.find("type");
  return it != v.end() && it->is_string() && it->get_ref<const std::string&>() == type;
}

void prune_tool_result(SJson& block) {
  auto content = block.find("content");
  if (content == block.end()) return;
  if (content->is_array()) {
    for (auto& part : *content)
      if (has_type(part, "image")) part = text_block(kPictureNote);
  } else if (content->is_string()) {
    const std::string& text = content->get_ref<const std::string&>();
    if (char_count(text) > kToolResultClipChars) {
      std::string clipped;
      push_chars_upto(clipped, text, kToolResultClipChars);
      clipped += kClippedMark;
      *content = std::move(clipped);
    }
  }
}

}  // namespace

bool is_plain_user_message(const SJson& msg) {
  if (!msg.is_object()) return false;
  auto role = msg.find("role");
  auto content = msg.find("content");
  return role != msg.end() && role->is_string() && role->get_ref<const std::string&>() == "user" &&
         content != msg.end() && content->is_string();
}

Messages turns_to_messages(const std::vector<ChatTurn>& turns) {
  Messages out;
  out.reserve(turns.size() * 2);
  for (const auto& t : turns) {
    out.push_back(SJson{{"role", "user"}, {"content", t.user}});
    out.push_back(SJson{{"role", "assistant"}, {"content", t.assistant.empty() ? kNoOutput : t.assistant}});
  }
  trim_message_history(out);
  return out;
}

size_t compact_length(const Messages& history) {
  size_t total = 2;
  for (const auto& m : history) total += to_compact(m).size();
  if (!history.empty()) total += history.size() - 1;
  return total;
}

void trim_message_history(Messages& history) {
  // The array's compact length is the sum of its elements' lengths, one
  // comma between each two, and the two brackets; each message is written
  // once rather than the whole array once per pass.
  std::vector<size_t> sizes;
  sizes.reserve(history.size());
  size_t total = 2;
  for (const auto& m : history) {
    sizes.push_back(to_compact(m).size());
    total += sizes.back();
  }
  if (!history.empty()) total += history.size() - 1;

  size_t start = 0;
  while (total > kHistoryBudgetBytes && history.size() - start >= 2) {
    size_t next = start + 1;
    while (next < history.size() && !is_plain_user_message(history[next])) ++next;
    if (next == history.size()) break;
    for (size_t i = start; i < next; ++i) total -= sizes[i] + 1;
    start = next;
  }
  if (start > 0) history.erase(history.begin(), history.begin() + static_cast<std::ptrdiff_t>(start));
}

void prune_tool_history(Messages& turn) {
  for (auto& msg : turn) {
    if (!msg.is_object()) continue;
    auto content = msg.find("content");
    if (content == msg.end() || !content->is_array()) continue;
    if (content->empty()) content->push_back(text_block(kNoOutput));
    for (auto& block : *content)
      if (has_type(block, "tool_result")) prune_tool_result(block);
  }
  if (!turn.empty()) {
    const SJson& last = turn.back();
    auto role = last.is_object() ? last.find("role") : last.end();
    if (last.is_object() && role != last.end() && role->is_string() &&
        role->get_ref<const std::string&>() == "user")
      turn.push_back(SJson{{"role", "assistant"}, {"content", kRoundLimitStop}});
  }
}

std::vector<size_t> turn_start_positions(const Messages& messages, size_t begin, size_t end) {
  std::vector<size_t> out;
  end = std::min(end, messages.size());
  for (size_t i = begin; i < end; ++i)
    if (is_plain_user_message(messages[i])) out.push_back(i);
  return out;
}

}  // namespace drovix::agent
