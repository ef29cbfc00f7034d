#include "agent/src/main/tool_items.hpp"

#include <limits>

#include "agent/src/main/settings.hpp"
#include "common/text.hpp"

namespace drovix::agent {

namespace {

std::string_view trim_slashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return s;
}

const std::string* string_at(const SJson& obj, const char* key) {
  if (!obj.is_object()) return nullptr;
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

// Decimal u32 with an optional leading "+"; no blanks, no "-", no overflow.
std::optional<uint32_t> parse_u32(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

}  // namespace

std::optional<SJson> result_file_item(const SJson& entry) {
  const std::string* path = string_at(entry, "path");
  const std::string* content = string_at(entry, "content");
  if (!path || !content) return std::nullopt;
  std::string trimmed = trim_unicode(*path);
  std::string_view p = trimmed;
  while (!p.empty() && p.front() == '/') p.remove_prefix(1);
  if (p.empty()) return std::nullopt;
  SJson item = SJson::object();
  item["path"] = std::string(p);
  item["content"] = *content;
  return item;
}

std::optional<PagePicture> page_picture_item(const SJson& entry) {
  if (!entry.is_object()) return std::nullopt;
  auto page = entry.find("page");
  if (page == entry.end() || !page->is_number_integer()) return std::nullopt;
  if (page->is_number_unsigned() ? page->get<uint64_t>() > std::numeric_limits<uint32_t>::max()
                                 : (page->get<int64_t>() < 0 ||
                                    page->get<int64_t>() > std::numeric_limits<uint32_t>::max()))
    return std::nullopt;
  const std::string* mime = string_at(entry, "mime");
  const std::string* b64 = string_at(entry, "b64");
  if (!mime || !b64) return std::nullopt;
  return PagePicture{static_cast<uint32_t>(page->get<uint64_t>()), *mime, *b64};
}

std::optional<uint32_t> unreadable_page_number(std::string_view line) {
  constexpr std::string_view kStart = "[page ";
  if (!starts_with(line, kStart)) return std::nullopt;
  std::string_view rest = line.substr(kStart.size());
  size_t end = rest.find(" has no text layer");
  if (end == std::string_view::npos) end = rest.find(": its text couldn't be extracted");
  if (end == std::string_view::npos) return std::nullopt;
  return parse_u32(rest.substr(0, end));
}

std::optional<std::pair<SJson, size_t>> file_name_term_hits(const SJson& entry,
                                                             const std::vector<std::string>& terms) {
  const std::string* name = string_at(entry, "name");
  std::string lower = name ? to_lower_unicode(*name) : std::string();
  size_t hits = 0;
  for (const auto& term : terms)
    if (lower.find(term) != std::string::npos) ++hits;
  if (hits == 0) return std::nullopt;
  return std::make_pair(entry, hits);
}

std::optional<std::pair<std::string, std::string>> query_entry(const SJson& entry) {
  std::string query;
  if (entry.is_string()) {
    query = trim_unicode(entry.get<std::string>());
  } else if (const std::string* q = string_at(entry, "query")) {
    query = trim_unicode(*q);
  } else {
    return std::nullopt;
  }
  if (query.empty()) return std::nullopt;
  std::string label;
  if (const std::string* l = string_at(entry, "label")) label = trim_unicode(*l);
  if (label.empty()) label = query;
  return std::make_pair(std::move(label), std::move(query));
}

std::optional<std::pair<std::string, std::string>> delivered_file_item(const SJson& entry) {
  const std::string* path = string_at(entry, "path");
  const std::string* content = string_at(entry, "content");
  if (!path || !content) return std::nullopt;
  std::string joined;
  std::string_view rest = *path;
  while (true) {
    size_t slash = rest.find('/');
    std::string_view seg = rest.substr(0, slash);
    if (!seg.empty() && seg != "..") {
      if (!joined.empty()) joined += '/';
      joined.append(seg);
    }
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  if (joined.empty()) joined = "result.md";
  return std::make_pair(std::move(joined), *content);
}

std::optional<std::pair<std::string, SJson>> drive_item_relative_path(const SJson& item,
                                                                      std::string_view root) {
  const SJson* parent_val = nullptr;
  if (item.is_object()) {
    auto ref = item.find("parentReference");
    if (ref != item.end() && ref->is_object()) {
      auto p = ref->find("path");
      if (p != ref->end()) parent_val = &*p;
    }
  }
  std::string parent = parent_val && parent_val->is_string() ? parent_val->get<std::string>() : "";
  const std::string* name_ptr = string_at(item, "name");
  std::string name = name_ptr ? *name_ptr : "?";

  std::string full;
  size_t at = parent.find("root:");
  if (at != std::string::npos) {
    std::string_view below = trim_slashes(std::string_view(parent).substr(at + 5));
    full = below.empty() ? name : std::string(below) + "/" + name;
  } else {
    full = name;
  }
  if (root.empty()) return std::make_pair(std::move(full), item);
  if (full.size() <= root.size() || !starts_with(full, root) || full[root.size()] != '/')
    return std::nullopt;
  return std::make_pair(full.substr(root.size() + 1), item);
}

std::optional<std::pair<std::string, SJson>> drive_item_relative_path(const SJson& item) {
  return drive_item_relative_path(item, sharepoint_root_config());
}

std::optional<std::string> mcp_server_ids(std::string_view service_id) {
  if (!starts_with(service_id, "mcp:")) return std::nullopt;
  return std::string(service_id.substr(4));
}

}  // namespace drovix::agent
