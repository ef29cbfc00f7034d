#include "agent/src/main/settings.hpp"

#include <gtest/gtest.h>

#include "tests/agent/main/certs_mount.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::agent;
using drovix::SJson;

TEST(Settings, ApplianceValuesAndArrays) {
  struct Root {
    std::optional<std::string> text;
    std::string root;
  };
  const Root roots[] = {
      {R"({"sharepoint_root":"  /Finance/Reports/ "})", "Finance/Reports"},
      {R"({"sharepoint_root":"//a/b//"})", "a/b"},
      {R"({"sharepoint_root":12})", ""},
      {R"({"other":1})", ""},
      {"not json", ""},
      {std::nullopt, ""},
  };
  for (const auto& r : roots) EXPECT_EQ(sharepoint_root_from(r.text), r.root) << r.text.value_or("(absent)");

  EXPECT_TRUE(reader_enabled_from(R"({"reader":true})"));
  for (const char* off : {R"({"reader":"true"})", R"({"reader":1})", R"({"reader":false})", "{}", "[true]", "x"})
    EXPECT_FALSE(reader_enabled_from(std::string(off))) << off;
  EXPECT_FALSE(reader_enabled_from(std::nullopt));

  EXPECT_EQ(json_array_member(R"({"rules":[{"id":"a"},3]})", "rules").size(), 2u);
  EXPECT_TRUE(json_array_member(R"({"rules":{"id":"a"}})", "rules").empty());
  EXPECT_TRUE(json_array_member(R"([1,2])", "rules").empty());
  EXPECT_TRUE(json_array_member(std::nullopt, "rules").empty());
}

TEST(Settings, PatternsMatchClauseNumbersAndTokens) {
  EXPECT_EQ(numbering_pattern().pattern().size(), 28u);
  EXPECT_EQ(clause_token_pattern().pattern().size(), 605u);
  ASSERT_TRUE(numbering_pattern().ok());
  ASSERT_TRUE(clause_token_pattern().ok()) << clause_token_pattern().error();

  for (const char* numbered : {"1. Term", "(a) Fees", "iv) Notice", "12)\tx"})
    EXPECT_TRUE(re2::RE2::PartialMatch(numbered, numbering_pattern())) << numbered;
  for (const char* plain : {"Term 1.", "(abcd) x", "1.x", "A. Upper"})
    EXPECT_FALSE(re2::RE2::PartialMatch(plain, numbering_pattern())) << plain;

  // The first token of each text, and the group that matched it.
  struct Case {
    std::string text, token, group;
  };
  const Case cases[] = {
      {"[AMOUNT] due", "[AMOUNT]", "slot"},
      {"USD 1,250.50m payable", "USD 1,250.50m", "amount"},
      {"€5 fee", "€5", "amount"},
      {"3.5 % a year", "3.5 %", "percent"},
      {"14 March 2025 onward", "14 March 2025", "date"},
      {"2025-03-14", "2025-03-14", "date"},
      {"9:30 a.m. sharp", "9:30 a.m.", "time"},
      {"England and Wales law", "England and Wales", "law"},
      {"the state of new york", "the state of new york", "law"},
      {"1,000 units", "1,000", "number"},
      {"Lender’s rights", "Lender’s", "word"},
      {"; then", ";", "punct"},
  };
  const auto& re = clause_token_pattern();
  for (const auto& c : cases) {
    std::vector<re2::StringPiece> groups(re.NumberOfCapturingGroups() + 1);
    ASSERT_TRUE(re.Match(c.text, 0, c.text.size(), re2::RE2::ANCHOR_START, groups.data(), static_cast<int>(groups.size())))
        << c.text;
    EXPECT_EQ(std::string(groups[0]), c.token) << c.text;
    int idx = re.NamedCapturingGroups().at(c.group);
    EXPECT_EQ(std::string(groups[idx]), c.token) << c.text << " as " << c.group;
  }
}

TEST(Settings, CertsFilesAreReadOnceOnFirstUse) {
  testbed::TempDir certs;
  testbed::write_text(certs / "recipes.json", R"({"recipes":[{"name":"one"},{"name":"two"}]})");
  testbed::write_text(certs / "appliance.json", R"({"sharepoint_root":" /Finance/Reports/ ","reader":true})");
  agenttest::with_certs(certs.path(), [&] {
    ASSERT_EQ(recipes_config().size(), 2u);
    EXPECT_EQ(sharepoint_root_config(), "Finance/Reports");
    EXPECT_TRUE(reader_enabled_config());
    testbed::write_text("/certs/recipes.json", R"({"recipes":[]})");
    testbed::write_text("/certs/appliance.json", R"({"reader":false})");
    EXPECT_EQ(recipes_config().size(), 2u) << "a change after the first use is not seen";
    EXPECT_EQ(recipes_config()[1]["name"], "two");
    EXPECT_TRUE(reader_enabled_config());
  });
  testbed::TempDir empty;
  agenttest::with_certs(empty.path(), [] {
    EXPECT_TRUE(recipes_config().empty());
    EXPECT_EQ(sharepoint_root_config(), "");
    EXPECT_FALSE(reader_enabled_config());
  });
}
