#pragma once
// Item rules: how one entry of a list in a tool input, a reader reply or a
// drive listing becomes a record, or is skipped. Callers apply a rule to
// every entry of their list in order and keep the records.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/json.hpp"

namespace drovix::agent {

// One page picture of a document-reader reply.
struct PagePicture {
  uint32_t page = 0;
  std::string mime;
  std::string b64;
};

// A file of a submitted sub-agent result: {"path", "content"} with the path
// trimmed and stripped of leading "/"; skipped when the path ends up empty
// or either value is not a text.
std::optional<SJson> result_file_item(const SJson& entry);

// {"page": non-negative integer, "mime": text, "b64": text}.
std::optional<PagePicture> page_picture_item(const SJson& entry);

// The page number of a line "[page N has no text layer…" or
// "[page N: its text couldn't be extracted…".
std::optional<uint32_t> unreadable_page_number(std::string_view line);

// The listing entry and how many of the search terms its lower-cased name
// contains; skipped when none does.
std::optional<std::pair<SJson, size_t>> file_name_term_hits(const SJson& entry,
                                                             const std::vector<std::string>& terms);

// (label, query) from a text or a {"query", "label"} object; skipped when
// the query is blank.
std::optional<std::pair<std::string, std::string>> query_entry(const SJson& entry);

// (path, content) of a delivered file, with empty and ".." segments dropped;
// an empty path becomes "result.md".
std::optional<std::pair<std::string, std::string>> delivered_file_item(const SJson& entry);

// The path of a Graph drive item relative to the SharePoint root `root`
// (empty: the top of the drive), with a copy of the item; skipped when the
// item lies outside the root.
std::optional<std::pair<std::string, SJson>> drive_item_relative_path(const SJson& item,
                                                                      std::string_view root);
// The same under the configured SharePoint root.
std::optional<std::pair<std::string, SJson>> drive_item_relative_path(const SJson& item);

// The MCP server id of a keyring service id "mcp:<id>".
std::optional<std::string> mcp_server_ids(std::string_view service_id);

}  // namespace drovix::agent
