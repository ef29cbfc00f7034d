#include <gtest/gtest.h>

#include <thread>

#include "host/src/util/patterns.hpp"

using namespace drovix::host;

namespace {

// "whole|int|dec|unit" per match, absent groups written as "-".
std::vector<std::string> figures(std::string_view text) {
  std::vector<std::string> out;
  for (const auto& m : figure_regex().find_all(text)) {
    std::string row;
    for (size_t g = 0; g < m.groups.size(); ++g) {
      if (g) row += '|';
      row += m.groups[g].value_or("-");
    }
    out.push_back(row);
  }
  return out;
}

std::vector<std::string> all_words(const re2::RE2& re, std::string_view text) {
  std::vector<std::string> out;
  re2::StringPiece in(text.data(), text.size());
  re2::StringPiece m;
  size_t pos = 0;
  while (pos < in.size() && re.Match(in, pos, in.size(), re2::RE2::UNANCHORED, &m, 1)) {
    out.emplace_back(m.data(), m.size());
    pos = static_cast<size_t>(m.data() - in.data()) + m.size();
  }
  return out;
}

}  // namespace

TEST(Patterns, FigureFindsAmountsWithTheirParts) {
  using V = std::vector<std::string>;
  struct Case {
    const char* text;
    V want;
  } cases[] = {
      {"Revenue $1,234.56m vs 7% and 3.5 BN", V{"$1,234.56m|1,234|56|m", "7%|7|-|%", "3.5 BN|3|5|BN"}},
      {"paid 2500000 on 12 Million units", V{"2500000|2500000|-|-", "12 Million|12|-|Million"}},
      {"exactly 4,200 thousand", V{"4,200 thousand|4,200|-|thousand"}},
      // Glued to a word or a dot: not a figure.
      {"v2.5 x12 12abc 3kg .75 file_9", V{}},
      {"caf\xc3\xa9" "5 \xc3\xa9t\xc3\xa9 8", V{"8|8|-|-"}},
      // Badly encoded text is searched, not refused.
      {"\xff 42\xfe", V{"42|42|-|-"}},
      {"", V{}},
  };
  for (const auto& c : cases) EXPECT_EQ(figures(c.text), c.want) << c.text;

  auto m = figure_regex().find_all("at 1,000,000.");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].start, 3u);
  EXPECT_EQ(m[0].end, 12u);
}

TEST(Patterns, PathCharsAndSqlWords) {
  EXPECT_EQ(all_words(path_chars_regex(), "see /data/q3.csv, s3://bk/x-y and a_b!"),
            (std::vector<std::string>{"see", "/data/q3.csv", "s3://bk/x-y", "and", "a_b"}));
  EXPECT_EQ(all_words(sql_word_regex(), "select a_b, COUNT(x) from t1"),
            (std::vector<std::string>{"select", "a_b", "x", "from", "t"}));
}

TEST(Patterns, ModelIdAndRegionMatchWholeTexts) {
  struct Case {
    std::string text;
    bool model;
    bool region;
  } cases[] = {
      {"anthropic.claude-3-5-sonnet-20240620-v1:0", true, false},
      {"us-east-1", true, true},
      {"us-gov-west-1", true, true},
      {"eu-central-2", true, true},
      {"ab", true, false},
      {"a", false, false},
      {std::string(120, 'm'), true, false},
      {std::string(121, 'm'), false, false},
      {"bad id", false, false},
      {"us-east-1\n", false, false},
      {"US-east-1", true, false},
      {"us-east-12", true, false},
      {"use-east-1", true, false},
      {"models/x_y", true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(re2::RE2::FullMatch(c.text, model_id_regex()), c.model) << c.text;
    EXPECT_EQ(re2::RE2::PartialMatch(c.text, model_id_regex()), c.model) << c.text;
    EXPECT_EQ(re2::RE2::PartialMatch(c.text, region_regex()), c.region) << c.text;
  }
}

TEST(Patterns, BuiltOnceAndSharedAcrossThreads) {
  std::vector<std::thread> threads;
  std::vector<const void*> seen(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&seen, i] {
      seen[i] = &figure_regex();
      EXPECT_EQ(figure_regex().find_all("1 2 3").size(), 3u);
    });
  }
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(&path_chars_regex(), &path_chars_regex());
}
