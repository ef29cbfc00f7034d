#include <gtest/gtest.h>

#include "agent/src/main/text_push.hpp"
#include "agent/src/main/tool_items.hpp"

using namespace drovix;
using namespace drovix::agent;

TEST(TextPush, CountsCharacters) {
  std::string two160;
  for (int i = 0; i < 160; ++i) two160 += "ß";
  struct Case {
    const char* name;
    std::string got, want;
  };
  auto upto = [](std::string_view s, size_t n) {
    std::string t = ">";
    push_chars_upto(t, s, n);
    return t;
  };
  auto range = [](std::string_view s, size_t a, size_t n) {
    std::string t = ">";
    push_char_range(t, s, a, n);
    return t;
  };
  auto quote = [](std::string_view s, size_t n) {
    std::string t = ">";
    push_chars_until_quote(t, s, n);
    return t;
  };
  const Case cases[] = {
      {"160 two-byte characters kept whole", upto(two160, 160), ">" + two160},
      {"cut after characters", upto("añb€c", 4), ">añb€"},
      {"N = 0", upto("abc", 0), ">"},
      {"range inside", range("a€cdé", 1, 3), ">€cd"},
      {"range past the end", range("abc", 5, 2), ">"},
      {"range to the end", range("abcé", 2, 10), ">cé"},
      {"until quote", quote("why \"this\"", 220), ">why "},
      {"until line feed", quote("line one\nline two", 220), ">line one"},
      {"until quote, capped", quote("ééééé", 3), ">ééé"},
      {"leading quote", quote("\"x", 5), ">"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
}

TEST(ToolItems, EntryRules) {
  // result_file_item
  auto rf = result_file_item(SJson{{"path", "  //out/report.md "}, {"content", "x"}});
  ASSERT_TRUE(rf);
  EXPECT_EQ(*rf, (SJson{{"path", "out/report.md"}, {"content", "x"}}));
  EXPECT_FALSE(result_file_item(SJson{{"path", "///"}, {"content", "x"}}));
  EXPECT_FALSE(result_file_item(SJson{{"path", "a.md"}, {"content", 3}}));

  // page_picture_item
  auto pp = page_picture_item(SJson{{"page", 3}, {"mime", "image/png"}, {"b64", "AA=="}});
  ASSERT_TRUE(pp);
  EXPECT_EQ(pp->page, 3u);
  EXPECT_EQ(pp->mime, "image/png");
  EXPECT_FALSE(page_picture_item(SJson{{"page", -1}, {"mime", "image/png"}, {"b64", "AA=="}}));
  EXPECT_FALSE(page_picture_item(SJson{{"page", 1.5}, {"mime", "image/png"}, {"b64", "AA=="}}));
  EXPECT_FALSE(page_picture_item(SJson{{"page", 1}, {"b64", "AA=="}}));

  // unreadable_page_number
  EXPECT_EQ(unreadable_page_number("[page 12 has no text layer]"), 12u);
  EXPECT_EQ(unreadable_page_number("[page +7: its text couldn't be extracted]"), 7u);
  for (const char* line : {"[page twelve has no text layer]", "[page -1 has no text layer]",
                           "[page  12 has no text layer]", "[page 4294967296 has no text layer]", "page 3 has no text layer",
                           "[page 3] fine"})
    EXPECT_FALSE(unreadable_page_number(line)) << line;

  // file_name_term_hits
  auto hits = file_name_term_hits(SJson{{"name", "Q3 Credit Memo.PDF"}, {"id", "1"}}, {"credit", "memo", "loan", "pdf"});
  ASSERT_TRUE(hits);
  EXPECT_EQ(hits->second, 3u);
  EXPECT_EQ(hits->first["id"], "1");
  EXPECT_FALSE(file_name_term_hits(SJson{{"name", "minutes.docx"}}, {"credit"}));

  // query_entry
  EXPECT_EQ(query_entry(SJson{{"query", " revenue "}, {"label", " Rev "}}),
            (std::pair<std::string, std::string>{"Rev", "revenue"}));
  EXPECT_EQ(query_entry(SJson("  ebitda ")), (std::pair<std::string, std::string>{"ebitda", "ebitda"}));
  EXPECT_EQ(query_entry(SJson{{"query", "x"}, {"label", "  "}}), (std::pair<std::string, std::string>{"x", "x"}));
  EXPECT_FALSE(query_entry(SJson{{"query", "   "}}));
  EXPECT_FALSE(query_entry(SJson{{"label", "only"}}));

  // delivered_file_item
  using PS = std::pair<std::string, std::string>;
  EXPECT_EQ(delivered_file_item(SJson{{"path", "../../etc/x.md"}, {"content", "c"}}), (PS{"etc/x.md", "c"}));
  EXPECT_EQ(delivered_file_item(SJson{{"path", "a//b/../c"}, {"content", "c"}}), (PS{"a/b/c", "c"}));
  EXPECT_EQ(delivered_file_item(SJson{{"path", "/"}, {"content", "c"}}), (PS{"result.md", "c"}));
  EXPECT_FALSE(delivered_file_item(SJson{{"path", 1}, {"content", "c"}}));

  // mcp_server_ids
  EXPECT_EQ(mcp_server_ids("mcp:lake"), "lake");
  EXPECT_EQ(mcp_server_ids("mcp:"), "");
  EXPECT_FALSE(mcp_server_ids("onedrive"));
}

TEST(ToolItems, DriveItemRelativePath) {
  auto item = [](const char* parent, const char* name) {
    SJson i = SJson{{"name", name}, {"id", "x"}};
    if (parent) i["parentReference"] = SJson{{"path", parent}};
    return i;
  };
  struct Case {
    const char* root;
    SJson item;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"Finance/Reports", item("/drive/root:/Finance/Reports/Q3", "a.pdf"), "Q3/a.pdf"},
      {"Finance/Reports", item("/drive/root:/Finance/Reports", "b.pdf"), "b.pdf"},
      {"Finance/Reports", item("/drive/root:/Finance/Reports2025", "c.pdf"), std::nullopt},
      {"Finance/Reports", item("/drive/root:/Finance", "Reports"), std::nullopt},
      {"", item("/drives/b!x/root:/Finance/Reports/", "d.pdf"), "Finance/Reports/d.pdf"},
      {"", item("/drive/root:", "top.pdf"), "top.pdf"},
      {"", item(nullptr, "bare.pdf"), "bare.pdf"},
      {"", SJson{{"parentReference", {{"path", "/drive/root:/x"}}}}, "x/?"},
  };
  for (const auto& c : cases) {
    auto got = drive_item_relative_path(c.item, c.root);
    EXPECT_EQ(got ? std::optional<std::string>(got->first) : std::nullopt, c.want) << c.item.dump();
    if (got) {
      EXPECT_EQ(got->second, c.item);
    }
  }
}
