// The session registry, the child history and the slot choice.
#include <gtest/gtest.h>

#include <thread>

#include "fixture.hpp"
#include "host/src/console/registry.hpp"

using drovix::OJson;
using namespace drovix::host;
using namespace sessions_test;

namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { reset_state(); }

  static OJson parent_record() {
    return OJson::parse(R"({"port":8001,"archive":"a","started":"2025-01-01 09:00:00","by":"ann"})");
  }
  static OJson child_record(int port, const std::string& name, const std::string& started) {
    OJson r = OJson::parse(R"({"port":0,"started":"","by":"ann","parent":8001,"parent_started":"2025-01-01 09:00:00"})");
    r["port"] = port;
    r["started"] = started;
    r["name"] = name;
    r["task"] = "task of " + name;
    r["status"] = "running";
    return r;
  }
  static std::vector<std::string> names(const std::vector<OJson>& list) {
    std::vector<std::string> out;
    for (const auto& r : list) out.push_back(r.value("name", "<none>") + "@" + std::to_string(r.value("port", 0)));
    return out;
  }
};

TEST_F(Registry, UpdateSessionAppendsFieldsAndFilesFinishedChildren) {
  OJson table = OJson::object();
  table["8001"] = parent_record();
  table["8003"] = child_record(8003, "sub-1", "2025-01-01 09:05:00");
  write_sessions(table);

  update_session(8003, "failed",
                 {{"ended", "2025-01-01 10:00:00"}, {"detail", "the VM exited without reporting a result"}});
  OJson rec = session_by_port(read_sessions(), 8003);
  std::vector<std::string> keys;
  for (const auto& [k, v] : rec.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"port", "started", "by", "parent", "parent_started", "name", "task",
                                            "status", "ended", "detail"}));
  EXPECT_EQ(rec["status"], "failed");

  OJson history = read_json(home().dir + "/vmstate/children.json");
  ASSERT_TRUE(history.contains("8001@2025-01-01 09:00:00"));
  EXPECT_EQ(history["8001@2025-01-01 09:00:00"], OJson::array({rec}));

  // A port without a record writes nothing.
  update_session(8005, "done", {{"detail", "x"}});
  EXPECT_EQ(read_sessions().size(), 2u);
  // A top-level session is never filed in the history.
  update_session(8001, "done", {{"detail", "x"}});
  EXPECT_EQ(read_json(home().dir + "/vmstate/children.json").size(), 1u);
}

TEST_F(Registry, HistoryKeepsTheLatestCopyPerNameLast) {
  std::lock_guard<std::mutex> lock(sessions_mutex());
  OJson a = child_record(8002, "sub-1", "2025-01-01 09:01:00");
  OJson b = child_record(8003, "sub-2", "2025-01-01 09:02:00");
  record_child_history(a);
  record_child_history(b);
  a["status"] = "done";
  record_child_history(a);
  OJson list = read_json(home().dir + "/vmstate/children.json")["8001@2025-01-01 09:00:00"];
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["name"], "sub-2");
  EXPECT_EQ(list[1]["status"], "done");
}

TEST_F(Registry, ListChildrenMergesHistoryAndLiveRecords) {
  OJson table = OJson::object();
  table["8001"] = parent_record();
  table["8002"] = child_record(8002, "sub-1", "2025-01-01 09:05:00");
  table["8003"] = child_record(8003, "sub-3", "2025-01-01 09:03:00");
  // A child of an earlier session in the same slot is not listed.
  table["8004"] = child_record(8004, "old", "2024-12-01 09:00:00");
  table["8004"]["parent_started"] = "2024-12-01 08:00:00";
  OJson history = OJson::object();
  history["8001@2025-01-01 09:00:00"] = OJson::array({child_record(8006, "sub-1", "2025-01-01 09:01:00"),
                                                      child_record(8007, "sub-2", "2025-01-01 09:05:00")});
  write_sessions(table);
  write_json(home().dir + "/vmstate/children.json", history);

  // History sub-1 is shadowed by the live one; history sub-2 stays ahead of
  // the live child started in the same second.
  EXPECT_EQ(names(list_children(8001, std::nullopt, false)),
            (std::vector<std::string>{"sub-3@8003", "sub-2@8007", "sub-1@8002"}));

  // Running only: status "running" and an active unit, in table order.
  set_unit_state(8002, "active");
  set_unit_state(8003, "inactive");
  EXPECT_EQ(names(list_children(8001, table, true)), (std::vector<std::string>{"sub-1@8002"}));
}

TEST_F(Registry, ChildSummaryFields) {
  OJson rec = OJson::parse(R"({"port":"8002","name":7})");
  rec["task"] = std::string(301, 'x');
  OJson s = child_summary(rec);
  EXPECT_EQ(s["task"].get<std::string>().size(), 300u);
  std::vector<std::string> keys;
  for (const auto& [k, v] : s.items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "port", "status", "task", "started", "ended", "detail"}));
  EXPECT_EQ(s["name"], "");
  EXPECT_EQ(s["port"], "8002");
  EXPECT_EQ(s["status"], "");
  EXPECT_EQ(child_summary(OJson::object())["port"], nullptr);
  // 300 characters, not bytes.
  rec["task"] = std::string(301 * 2, '\xc3');
  for (size_t i = 1; i < rec["task"].get<std::string>().size(); i += 2) rec["task"].get_ref<std::string&>()[i] = '\xa9';
  EXPECT_EQ(child_summary(rec)["task"].get<std::string>().size(), 600u);
}

TEST_F(Registry, FreeSlotFollowsTheUnits) {
  set_unit_state(8001, "active");
  set_unit_state(8002, "active");
  set_unit_state(8003, "failed");
  EXPECT_EQ(free_vm_slot(), std::make_pair(uint16_t{8003}, uint16_t{3}));
  for (uint16_t p = 8001; p <= 8008; ++p) set_unit_state(p, "active");
  EXPECT_FALSE(free_vm_slot().has_value());
}

// A slot reused by a later launch keeps its place in the table, and
// concurrent read-change-write cycles under the mutex lose nothing.
TEST_F(Registry, WritesReplaceInPlaceAndNeverLoseUpdates) {
  OJson table = OJson::object();
  table["8002"] = OJson{{"port", 8002}};
  table["8001"] = OJson{{"port", 8001}};
  write_sessions(table);

  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([i] {
      for (int k = 0; k < 10; ++k)
        update_session(i % 2 ? 8001 : 8002, "running", {{"f" + std::to_string(i) + "_" + std::to_string(k), k}});
    });
  }
  // A reader without the lock only ever sees a whole table.
  for (int k = 0; k < 50; ++k) EXPECT_TRUE(read_sessions().contains("8001"));
  for (auto& t : threads) t.join();
  OJson after = read_sessions();
  EXPECT_EQ(after.begin().key(), "8002");
  EXPECT_EQ(after["8001"].size() + after["8002"].size(), 2u + 2u + 80u);
}

}  // namespace
