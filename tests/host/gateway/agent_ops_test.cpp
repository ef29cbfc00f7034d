#include "host/src/gateway/agent_ops.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "fixture.hpp"
#include "host/src/gateway/lifecycle_calls.hpp"
#include "tests/testbed/testbed.hpp"

using namespace drovix::host;
using drovix::OJson;
using namespace gateway_test;

namespace {

class AgentOps : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_state();
    std::lock_guard lock(reader_slot_table().mu);
    reader_slot_table().slots.clear();
  }
  static void grant_reader(int slot, uint16_t port, const std::string& doc, double secs_ago) {
    std::lock_guard lock(reader_slot_table().mu);
    reader_slot_table().slots[slot] = ReaderSlot{
        port, "10.0.9." + std::to_string(port - 7990), doc,
        std::chrono::steady_clock::now() - std::chrono::milliseconds(static_cast<int>(secs_ago * 1000))};
  }
  static OJson call(const std::string& op, const OJson& body, const std::string& ip = "10.0.9.11") {
    return handle_agents_call(op, ip, body).second;
  }
};

}  // namespace

TEST_F(AgentOps, ReaderSlots) {
  grant_reader(3, 8001, "alive.pdf", 1);
  grant_reader(4, 8002, "theirs.pdf", 1);
  // Nothing runs the reader units here, so no reader reports active.
  for (const OJson& slot : {OJson(3), OJson("3"), OJson(8), OJson(-1), OJson("x"), OJson(nullptr)})
    EXPECT_EQ(call("reader_alive", OJson{{"slot", slot}}), OJson({{"active", false}})) << slot.dump();

  EXPECT_EQ(call("reader_done", OJson{{"slot", 9}}), OJson({{"error", "bad slot"}}));
  EXPECT_EQ(call("reader_done", OJson{{"slot", "x"}}), OJson({{"error", "bad slot"}}));
  EXPECT_EQ(call("reader_done", OJson{{"slot", 4}}), OJson({{"error", "not your reader"}}));
  EXPECT_EQ(reader_slot_table().slots.count(4), 1u);

  write_sessions(OJson{{"8001", OJson{{"by", "carol"}, {"status", "running"}}}});
  OJson done = OJson{{"slot", "3"}, {"status", "ok"}, {"detail", std::string(1000, 'd')}};
  grant_reader(3, 8001, "report.pdf", 3.46);
  EXPECT_EQ(call("reader_done", done), OJson({{"ok", true}}));
  EXPECT_EQ(reader_slot_table().slots.count(3), 0u);
  EXPECT_EQ(call("reader_done", done), OJson({{"error", "not your reader"}}));
  auto rows = audit_rows("session_id = 'vm-8001' AND rule = 'document_read'");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["text"], "Document reader read 'report.pdf' for VM :8001 in 3.5s: " + std::string(400, 'd'));
  EXPECT_EQ(rows[0]["severity"], "low");
  EXPECT_EQ(rows[0]["host"], "fleet-vm-8001");
  EXPECT_EQ(rows[0]["os_user"], "carol");

  grant_reader(5, 8002, "crash.doc", 1);
  grant_reader(6, 8002, "fail.xls", 1);
  EXPECT_EQ(call("reader_done", OJson{{"slot", 5}, {"status", "crashed"}, {"detail", "boom"}}, "10.0.9.12"),
            OJson({{"ok", true}}));
  EXPECT_EQ(call("reader_done", OJson{{"slot", 6}}, "10.0.9.12"), OJson({{"ok", true}}));
  rows = audit_rows("session_id = 'vm-8002' AND rule IN ('reader_crashed', 'document_read')");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["rule"], "reader_crashed");
  EXPECT_EQ(rows[0]["severity"], "medium");
  EXPECT_EQ(rows[0]["text"],
            "The document reader crashed on 'crash.doc' (VM :8002's file); the reader VM ended, the agent did not. boom");
  EXPECT_EQ(rows[0]["os_user"], "agent");
  EXPECT_EQ(rows[1]["rule"], "document_read");
  EXPECT_EQ(rows[1]["text"], "Document reader couldn't read 'fail.xls' for VM :8002: ");
}

TEST_F(AgentOps, FinishedWritesTheResultFile) {
  OJson child = OJson{{"status", "running"}, {"name", "../../x"}, {"task", "sum it"}, {"parent", 8001},
                      {"parent_started", "2025-03-04 09:15:02"}};
  OJson ended = child;
  ended["status"] = "done";
  write_sessions(OJson{{"8001", lake_session("rates")}, {"8002", child}, {"8003", ended},
                       {"8004", OJson{{"status", "running"}, {"parent", 8001}, {"name", "  "}}}});

  EXPECT_EQ(call("finished", OJson{{"summary", "s"}}, "10.0.9.11"), OJson({{"error", "not a running sub-agent"}}));
  EXPECT_EQ(call("finished", OJson{{"summary", "s"}}, "10.0.9.13"), OJson({{"error", "not a running sub-agent"}}));
  EXPECT_FALSE(std::filesystem::exists(home().dir + "/vmstate/results"));

  std::string summary = std::string(4990, 'a') + "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9";
  OJson reply = call("finished", OJson{{"status", "done"}, {"summary", summary}, {"files", false}}, "10.0.9.12");
  EXPECT_TRUE(reply.contains("error")) << reply.dump();
  OJson file = OJson::parse(testbed::read_text(home().dir + "/vmstate/results/8001/..-..-x.json"));
  EXPECT_EQ(file["name"], "../../x");
  EXPECT_EQ(file["port"], 8002);
  EXPECT_EQ(file["parent"], 8001);
  EXPECT_EQ(file["parent_started"], "2025-03-04 09:15:02");
  EXPECT_EQ(file["task"], "sum it");
  EXPECT_EQ(file["status"], "done");
  EXPECT_EQ(file["summary"], std::string(4000, 'a'));
  EXPECT_EQ(file["files"], OJson::array());
  EXPECT_EQ(file["at"].get<std::string>().size(), 19u);
  std::vector<std::string> keys;
  for (auto it = file.begin(); it != file.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "port", "parent", "parent_started", "task", "status", "summary",
                                            "files", "at"}));

  call("finished", OJson{{"status", "failed"}, {"files", OJson::array({OJson{{"path", "a"}}})}}, "10.0.9.14");
  OJson blank = OJson::parse(testbed::read_text(home().dir + "/vmstate/results/8001/session.json"));
  EXPECT_EQ(blank["files"].size(), 1u);
  EXPECT_EQ(blank["parent_started"], nullptr);
}

TEST_F(AgentOps, ListAndFeatureOffReplies) {
  OJson child = OJson{{"status", "running"}, {"name", "helper"}, {"task", "t"}, {"parent", 8001},
                      {"parent_started", "2025-03-04 09:15:02"}, {"started", "2025-03-04 10:00:00"}};
  write_sessions(OJson{{"8001", lake_session("rates")}, {"8002", child}});
  OJson list = call("list", OJson::object());
  ASSERT_EQ(list["agents"].size(), 1u);
  EXPECT_EQ(list["agents"][0]["name"], "helper");
  EXPECT_EQ(list["agents"][0]["status"], "running");
  EXPECT_EQ(call("list", OJson::object(), "10.0.9.13"), OJson({{"agents", OJson::array()}}));

  EXPECT_EQ(call("spawn", OJson{{"task", "x"}}), OJson({{"error", "this agent was launched without sub-agents"}}));
  EXPECT_TRUE(call("reader", OJson{{"name", "a.pdf"}})["error"].get<std::string>().rfind("off: ", 0) == 0);
  EXPECT_EQ(handle_agents_call("reader", "10.0.9.19", OJson::object()).first, 403);
  EXPECT_EQ(handle_agents_call("nope", "10.0.9.11", OJson::object()).first, 404);
}
