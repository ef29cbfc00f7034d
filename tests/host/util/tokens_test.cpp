#include <gtest/gtest.h>

#include <ctime>

#include "host/src/util/tokens.hpp"

using namespace drovix;
using namespace drovix::host;

namespace {

bool only_chars(const std::string& s, std::string_view allowed) {
  return s.find_first_not_of(allowed) == std::string::npos;
}

OJson j(const char* text) { return OJson::parse(text); }

}  // namespace

TEST(RandomValues, LengthsAndAlphabets) {
  const std::string_view url_safe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  for (auto [n, len] : {std::pair{32u, 43u}, {9u, 12u}, {1u, 2u}}) {
    std::string t = random_token(n);
    EXPECT_EQ(t.size(), len) << n;
    EXPECT_TRUE(only_chars(t, url_safe)) << t;
  }
  for (auto [n, len] : {std::pair{24u, 48u}, {16u, 32u}}) {
    std::string h = random_hex(n);
    EXPECT_EQ(h.size(), len);
    EXPECT_TRUE(only_chars(h, "0123456789abcdef")) << h;
  }
  EXPECT_NE(random_hex(24), random_hex(24));
  EXPECT_NE(random_token(32), random_token(32));

  // Across many tokens every character of the alphabet turns up, and no
  // padding or standard-alphabet character ever does.
  std::string all;
  for (int i = 0; i < 200; ++i) all += random_token(32);
  EXPECT_TRUE(only_chars(all, url_safe));
  EXPECT_NE(all.find('-'), std::string::npos);
  EXPECT_NE(all.find('_'), std::string::npos);
}

TEST(LenientJson, FlagFollowsJsonTruthiness) {
  OJson o = j(R"({"zero_text":"0","zero":0,"zero_f":0.0,"one":1,"neg":-2,"t":true,"f":false,"null":null,
                 "empty_text":"","empty_arr":[],"arr":[0],"empty_obj":{},"obj":{"a":null}})");
  struct Case {
    const char* key;
    bool want;
  } cases[] = {{"zero_text", true}, {"zero", false},     {"zero_f", false},    {"one", true},
               {"neg", true},       {"t", true},         {"f", false},         {"null", false},
               {"empty_text", false}, {"empty_arr", false}, {"arr", true},     {"empty_obj", false},
               {"obj", true},       {"missing", false}};
  for (const auto& c : cases) EXPECT_EQ(json_flag(o, c.key), c.want) << c.key;
  EXPECT_FALSE(json_flag(j("[1]"), "0"));  // not an object
}

TEST(LenientJson, StringsAndText) {
  OJson o = j(R"({"n":12,"s":"hi","t":true})");
  EXPECT_EQ(json_get_str(o, "n"), "");
  EXPECT_EQ(json_get_str(o, "s"), "hi");
  EXPECT_EQ(json_get_str(o, "t"), "");
  EXPECT_EQ(json_get_str(o, "missing"), "");
  EXPECT_EQ(json_get_str(j(R"(["s"])"), "s"), "");

  struct Case {
    const char* json;
    const char* text;
  } cases[] = {{"12", "12"},   {R"("a \"q\"")", R"(a "q")"}, {"null", ""},  {"true", "true"},
               {"[1,2]", "[1,2]"}, {R"({"b":1,"a":[]})", R"({"b":1,"a":[]})"}, {"-1.5", "-1.5"}};
  for (const auto& c : cases) {
    OJson v = j(c.json);
    EXPECT_EQ(json_to_text(&v), c.text) << c.json;
  }
  EXPECT_EQ(json_to_text(nullptr), "");

  OJson obj = j(R"({"a":1})"), arr = j("[1]");
  EXPECT_EQ(object_or_empty(&obj), obj);
  EXPECT_EQ(object_or_empty(&arr), OJson::object());
  EXPECT_EQ(object_or_empty(nullptr), OJson::object());
}

TEST(LenientJson, AsI64) {
  const auto none = std::optional<int64_t>();
  struct Case {
    const char* json;
    std::optional<int64_t> want;
  } cases[] = {
      {"null", 0},
      {"false", 0},
      {"true", 1},
      {"0", 0},
      {"0.0", 0},
      {R"("")", 0},
      {"[]", 0},
      {"{}", 0},
      {"-42", -42},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"18446744073709551615", INT64_MAX},
      {"4.9", 4},
      {"-4.9", -4},
      {"1e300", INT64_MAX},
      {"-1e300", INT64_MIN},
      {R"("  42 ")", 42},
      {R"("\u00a042\u2003")", 42},
      {R"("+7")", 7},
      {R"("-7")", -7},
      {R"("-9223372036854775808")", INT64_MIN},
      {R"("9223372036854775808")", none},
      {R"("4.5")", none},
      {R"("   ")", none},
      {R"("+")", none},
      {R"("-")", none},
      {R"("+-1")", none},
      {R"("1 2")", none},
      {R"("0x10")", none},
      {R"("١٢")", none},
      {"[1]", none},
      {R"({"a":1})", none},
  };
  for (const auto& c : cases) {
    OJson v = j(c.json);
    EXPECT_EQ(json_as_i64(&v), c.want) << c.json;
  }
  EXPECT_EQ(json_as_i64(nullptr), 0);
}

TEST(Names, TakeCharsNeverSplitsACharacter) {
  EXPECT_EQ(take_chars("abcdefghij", 4000), "abcdefghij");
  EXPECT_EQ(take_chars("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 3), "\xc3\xa9\xc3\xa9\xc3\xa9");
  EXPECT_EQ(take_chars("ab\xf0\x9f\x98\x80z", 3), "ab\xf0\x9f\x98\x80");
}

TEST(Names, SanitizeName) {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += static_cast<char>('a' + i % 26);
  struct Case {
    std::string in;
    std::string want;
  } cases[] = {
      {"  Annual Report: final/memo.docx  ", "Annual-Report--final-memo.docx"},
      {"\xc3\xa9", "-"},
      {"caf\xc3\xa9 \xf0\x9f\x98\x80.md", "caf---.md"},
      {"..secret", "..secret"},
      {"a_b-C.9", "a_b-C.9"},
      {"", ""},
      {" \t\n", ""},
      {"\xe2\x80\x83tab\there\xe2\x80\x83", "tab-here"},
      {hundred, hundred.substr(0, 60)},
      {"  " + hundred, hundred.substr(0, 60)},
      {std::string(70, ' ') + "x", "x"},
      // 61 non-ASCII characters: 60 taken, each one "-".
      {[] {
         std::string s;
         for (int i = 0; i < 61; ++i) s += "\xc3\xa9";
         return s;
       }(),
       std::string(60, '-')},
      {"a\xff" "b", "a-b"},
  };
  for (const auto& c : cases) EXPECT_EQ(sanitize_name(c.in), c.want) << c.in;
}

TEST(Names, UnixNowIsWholeSeconds) {
  int64_t before = static_cast<int64_t>(std::time(nullptr));
  int64_t now = unix_now();
  EXPECT_GE(now, before);
  EXPECT_LE(now, before + 1);
}
