#include "host/src/origin/rows.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "origin_home.hpp"

namespace drovix::host {
namespace {

const std::vector<std::string> kEventKeys = {
    "tenant_id",  "user_id",   "event_id",      "ts",          "host",        "os_user",    "session_id",
    "agent",      "agent_version", "model",     "event_type",  "tool_name",   "tool_use_id", "tool_input",
    "text",       "duration_ms", "input_tokens", "output_tokens", "cost_usd", "is_error"};
const std::vector<std::string> kSignalKeys = {"tenant_id", "user_id",  "signal_id", "ts",     "session_id",
                                              "event_id",  "rule",     "severity",  "title",  "detail",
                                              "field",     "match_offset", "match_len", "host", "os_user"};

std::vector<std::string> keys_of(const OJson& row) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : row.items()) keys.push_back(k);
  return keys;
}

bool is_uuid_of_version(const std::string& id, char version) {
  if (id.size() != 36 || id[14] != version) return false;
  if (id[19] != '8' && id[19] != '9' && id[19] != 'a' && id[19] != 'b') return false;
  for (size_t i = 0; i < id.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    char c = id[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

TEST(StableEventId, KnownVectorUuidsAndFreshIds) {
  EXPECT_EQ(stable_event_id("e1"), "1e18e267-a666-5678-bb76-16aa379e24d1");
  EXPECT_EQ(stable_event_id("0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D"), "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");

  // Not a hyphenated UUID: each is a name of its own.
  for (const char* text : {"{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}", "0a1b2c3d4e5f4a6b8c7d9e0f1a2b3c4d",
                           "urn:uuid:0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d", "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4g",
                           "0a1b2c3d_4e5f-4a6b-8c7d-9e0f1a2b3c4d"}) {
    std::string id = stable_event_id(text);
    EXPECT_TRUE(is_uuid_of_version(id, '5')) << text << " -> " << id;
    EXPECT_EQ(stable_event_id(text), id) << "the same name keeps its id";
  }

  std::string a = stable_event_id(""), b = stable_event_id("");
  EXPECT_TRUE(is_uuid_of_version(a, '4')) << a;
  EXPECT_TRUE(is_uuid_of_version(b, '4')) << b;
  EXPECT_NE(a, b);
}

TEST(FormatEventTs, MillisecondsAsUtcText) {
  struct Case {
    int64_t ms;
    const char* text;
  } cases[] = {
      {1, "1970-01-01 00:00:00.001"},
      {-1, "1969-12-31 23:59:59.999"},
      {1740820500250, "2025-03-01 09:15:00.250"},
      {951782400000, "2000-02-29 00:00:00.000"},
      {253402300799999, "9999-12-31 23:59:59.999"},
      {std::numeric_limits<int64_t>::max(), "1970-01-01 00:00:00.000"},
      {std::numeric_limits<int64_t>::min(), "1970-01-01 00:00:00.000"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_event_ts(c.ms), c.text) << c.ms;

  // No time, or 0, is the current time.
  auto now = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  for (std::optional<int64_t> none : {std::optional<int64_t>(), std::optional<int64_t>(0)}) {
    std::string before = format_event_ts(now());
    std::string got = format_event_ts(none);
    std::string after = format_event_ts(now());
    EXPECT_LE(before, got);
    EXPECT_LE(got, after);
  }
}

TEST(EventCost, PriceFamilies) {
  struct Case {
    const char* model;
    int64_t in, out;
    double cost;
  } cases[] = {
      {"claude-SoNNeT-4", 1000, 500, 0.0105},
      {"claude-opus-haiku", 1'000'000, 0, 1.0},  // haiku comes first in the table
      {"haiku-then-opus", 0, 1'000'000, 5.0},
      {"opus", 1000, 1000, 0.03},
      {"haiku", 1, 0, 0.000001},
      {"sonnet", -1000, 0, -0.003},
      {"sonnet", 1, 1, 0.000018},
      {"haiku", 1, 1, 0.000006},
  };
  for (const auto& c : cases) {
    OJson v = event_cost(c.model, c.in, c.out);
    ASSERT_TRUE(v.is_number_float()) << c.model;
    EXPECT_DOUBLE_EQ(v.get<double>(), c.cost) << c.model;
  }
  // A model of no family costs a floating-point zero.
  for (const char* model : {"", "gpt-4", "bedrock"}) EXPECT_EQ(event_cost(model, 1000, 1000).dump(), "0.0") << model;
}

TEST(BuildEventRow, DefaultsAndOverridesKeepTheColumnOrder) {
  for (const OJson& not_object : {OJson(nullptr), OJson::array({1}), OJson("x")}) {
    OJson row = build_event_row(not_object);
    EXPECT_EQ(keys_of(row), kEventKeys);
    EXPECT_EQ(row["tenant_id"], origin_test::kTenant);
    EXPECT_TRUE(is_uuid_of_version(row["event_id"].get<std::string>(), '4'));
    EXPECT_EQ(row["ts"].get<std::string>().size(), 23u);
    EXPECT_EQ(row["cost_usd"].dump(), "0");
    EXPECT_EQ(row["is_error"].dump(), "0");
  }
  OJson row = build_event_row(OJson{{"is_error", 1}, {"agent", "a"}, {"ts", "t"}});
  EXPECT_EQ(keys_of(row), kEventKeys);
  EXPECT_EQ(row["is_error"], 1);
  EXPECT_EQ(row["agent"], "a");
  EXPECT_EQ(row["ts"], "t");
  EXPECT_NE(build_event_row(OJson::object())["event_id"], build_event_row(OJson::object())["event_id"]);
}

TEST(BuildSignalRow, CopiesTheContextAndCutsTexts) {
  OJson context = build_event_row(OJson{{"session_id", "s"}, {"host", "h"}, {"os_user", "u"}});
  std::string wide300;
  for (int i = 0; i < 300; ++i) wide300 += "\u00e9";
  OJson row = build_signal_row(context, "r", "", wide300 + "x", std::string(4001, 'd'), "f");
  EXPECT_EQ(keys_of(row), kSignalKeys);
  EXPECT_EQ(row["tenant_id"], origin_test::kTenant);
  EXPECT_EQ(row["user_id"], "");
  EXPECT_EQ(row["ts"], context["ts"]);
  EXPECT_EQ(row["session_id"], "s");
  EXPECT_EQ(row["event_id"], context["event_id"]);
  EXPECT_EQ(row["host"], "h");
  EXPECT_EQ(row["os_user"], "u");
  EXPECT_EQ(row["severity"], "low");
  EXPECT_EQ(row["title"], wide300);
  EXPECT_EQ(row["detail"], std::string(4000, 'd'));
  EXPECT_EQ(row["field"], "f");
  EXPECT_EQ(row["match_offset"], 0);
  EXPECT_EQ(row["match_len"], 0);
  EXPECT_TRUE(is_uuid_of_version(row["signal_id"].get<std::string>(), '4'));

  OJson again = build_signal_row(context, "r", "High", "t", "d", "");
  EXPECT_EQ(again["severity"], "High");
  EXPECT_NE(again["signal_id"], row["signal_id"]);

  OJson bare = build_signal_row(OJson{{"ts", "t"}, {"match_offset", 12}}, "r", "s", "t", "d", "");
  EXPECT_EQ(keys_of(bare), kSignalKeys);
  for (const char* key : {"session_id", "event_id", "host", "os_user"}) EXPECT_TRUE(bare[key].is_null()) << key;
  EXPECT_EQ(bare["match_offset"], 0);
}

}  // namespace
}  // namespace drovix::host
