#include "host/src/gateway/grants.hpp"

#include <gtest/gtest.h>

#include "fixture.hpp"
#include "host/src/gateway/router.hpp"

using namespace drovix::host;
using drovix::OJson;
using namespace gateway_test;

namespace {

class Grants : public ::testing::Test {
 protected:
  void SetUp() override { reset_state(); }
};

}  // namespace

TEST_F(Grants, SnapshotWithAndWithoutTheExportGrant) {
  OJson snap = grants_snapshot();
  EXPECT_TRUE(snap["generated_at"].is_number_integer());
  EXPECT_GT(snap["generated_at"].get<int64_t>(), 1'600'000'000'000);
  snap.erase("generated_at");
  EXPECT_EQ(snap.dump(), R"({"gated":[],"grants":[]})");

  add_grant("sharepoint:export", 30);
  add_grant("datalake", -1);
  write_file(home().certs + "/policy.json", R"({"export_grant": false})");
  auto resp = route_gateway_request(request("GET", "/v1/grants/snapshot?fresh=1"));
  ASSERT_EQ(resp.status, 200);
  OJson body = OJson::parse(resp.body);
  EXPECT_EQ(body["grants"].dump(),
            R"J([{"label":"sharepoint:export granted by alice","scope":[{"value":"sharepoint:export","label":"sharepoint:export granted by alice"}]},)J"
            R"J({"label":"sharepoint:export (policy: no grant needed)","scope":[{"value":"sharepoint:export","label":"sharepoint:export (policy: no grant needed)"}]}])J");
}

TEST_F(Grants, MinutesOfLiveGrants) {
  add_grant("datalake:trade_blotter", 60);
  add_grant("datalake:trade_blotter", 20);
  add_grant("datalake", -5);
  add_grant("datalake:comms_surveillance", 30, 0);
  OJson minutes = active_grant_minutes();
  ASSERT_EQ(minutes.size(), 1u) << minutes.dump();
  // Counted as whole minutes by the database: 59 or 60 for a fresh hour.
  int64_t m = minutes["datalake:trade_blotter"].get<int64_t>();
  EXPECT_GE(m, 59);
  EXPECT_LE(m, 60);
  EXPECT_TRUE(has_grant("trade_blotter", minutes));
  EXPECT_FALSE(has_grant("Trade_Blotter", minutes));
  EXPECT_FALSE(has_grant("comms_surveillance", minutes));
  EXPECT_EQ(grants_snapshot()["grants"].size(), 2u);

  EXPECT_TRUE(has_grant("anything", OJson{{"datalake", 0}}));
  EXPECT_FALSE(has_grant("trade_blotter", OJson::object()));
}

TEST(GrantMinutes, RowValues) {
  struct Case {
    OJson m;
    int64_t minutes;
  } cases[] = {{42, 42}, {-3, -3}, {"42", 42}, {1.5, 0}, {"4x", 0}, {nullptr, 0},
               {OJson(uint64_t{1} << 63), 0}};
  for (const auto& c : cases) EXPECT_EQ(grant_minutes_value(&c.m), c.minutes) << c.m.dump();
  EXPECT_EQ(grant_minutes_value(nullptr), 0);
}
