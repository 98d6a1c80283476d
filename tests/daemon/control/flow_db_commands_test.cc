// "sim" and the query commands through a real control socket on a real database.
#include "control/flow_db_commands.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "control/operate_db.h"
#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

const int kRangeStartDay = 16072;  // 2014-01-01

class FlowDbCommandsTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("HTTP2QUORVIN_SOCKET", dir_.File("ctl").c_str(), 1);
    ASSERT_EQ(0, db_.CreateDB());
    listener_.Add(new SetSimCommand(&listener_, nullptr, &db_));
    for (QueryCommand::Kind kind : {QueryCommand::kCompression, QueryCommand::kFlow}) {
      listener_.Add(new QueryCommand(kind, &listener_, nullptr, &db_));
      listener_.Add(new QueryDetailCommand(kind, &listener_, nullptr, &db_));
    }
    ASSERT_EQ(0, listener_.startListener());
    unsetenv("HTTP2QUORVIN_SOCKET");
    client_.reset(new qvtest::ControlClient(dir_.File("ctl")));
  }

  qvtest::ScratchDir dir_;
  OperateDB db_{dir_.File("flow.db")};
  qvtest::TestListener listener_{"qvcommands"};
  std::unique_ptr<qvtest::ControlClient> client_;
};

TEST_F(FlowDbCommandsTest, RepliesOfSimAndTheFourQueries) {
  const std::string week = " 2014-01-01 2014-01-07 46001";
  EXPECT_EQ("1 allFlow:{original:0,compressed:0}", client_->Ask("query" + week));
  EXPECT_EQ("1 allFlow:{up:0,down:0}", client_->Ask("queryflow" + week));
  EXPECT_EQ("1 {Flow:[]}", client_->Ask("querydetail" + week));
  EXPECT_EQ("1 {Flow:[]}", client_->Ask("querydetailflow" + week));

  EXPECT_EQ("1 SetSimOkay.", client_->Ask("sim 46001"));
  db_.WriteDB(10061, kRangeStartDay, true, 100);
  db_.WriteDB(10061, kRangeStartDay + 2, false, 2000);
  db_.WriteCompressedDB(10061, kRangeStartDay + 2, 5000, 1200);
  db_.WriteDB(10062, kRangeStartDay + 6, true, 7);
  db_.WriteCompressedDB(10063, kRangeStartDay + 1, 10, 4);
  db_.WriteDB(10064, kRangeStartDay + 7, true, 99);  // the day after the range
  EXPECT_EQ("1 allFlow:{original:5010,compressed:1204}", client_->Ask("query" + week));
  EXPECT_EQ("1 allFlow:{up:107,down:2000}", client_->Ask("queryflow" + week));
  EXPECT_EQ(
      "1 {Flow:[{original:5000,compressed:1200,appUID:10061},"
      "{original:0,compressed:0,appUID:10062},{original:10,compressed:4,appUID:10063}]}",
      client_->Ask("querydetail" + week));
  EXPECT_EQ(
      "1 {Flow:[{up:100,down:2000,appUID:10061},{up:7,down:0,appUID:10062},"
      "{up:0,down:0,appUID:10063}]}",
      client_->Ask("querydetailflow" + week));
  EXPECT_EQ("1 allFlow:{up:0,down:0}", client_->Ask("queryflow 2014-01-01 2014-01-07 46002"));

  // 2,000 applications: the whole list in one reply.
  ASSERT_EQ(0, db_.sqliteExecLock("with recursive n(x) as (select 1 union all select x + 1 "
                                  "from n where x < 2000) insert into flow select null, x, 1, "
                                  "x, 1, 0, 0, 'many' from n",
                                  nullptr, nullptr));
  std::string expected = "1 {Flow:[";
  for (int uid = 1; uid <= 2000; ++uid)
    expected += (uid > 1 ? ",{up:" : "{up:") + std::to_string(uid) +
                ",down:1,appUID:" + std::to_string(uid) + "}";
  EXPECT_EQ(expected + "]}", client_->Ask("querydetailflow 1970-01-01 1970-01-01 many"));
}

TEST_F(FlowDbCommandsTest, BadWordsChangeNothingAndSendNothing) {
  ASSERT_EQ("1 SetSimOkay.", client_->Ask("sim keep"));
  for (const char* command :
       {"sim", "query", "query 2014-01-01 2014-01-07", "queryflow 2014-01-01",
        "querydetail 2014-01-01 2014-01-07", "querydetailflow", "query 2014-1-1 2014-01-07 keep",
        "queryflow 2014-01-01 2014-01-7 keep", "querydetailflow \"\" 2014-01-07 keep"}) {
    testing::internal::CaptureStderr();
    ASSERT_TRUE(client_->Send(command));
    EXPECT_EQ("1 1:[echo]", client_->Ask("echo")) << command;  // no reply of its own
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("W/control_message("))
        << command;
  }
  EXPECT_EQ("keep", db_.sim_id());

  // SIM ids of any text and length, quoted on the socket.
  for (const std::string& sim : {std::string("1 or 1=1"), std::string("0); drop table flow; --"),
                                 std::string(20000, '8'), std::string()}) {
    ASSERT_EQ("1 SetSimOkay.", client_->Ask("sim \"" + sim + "\""));
    EXPECT_EQ(sim, db_.sim_id());
    db_.WriteDB(1, kRangeStartDay, true, 42);
    EXPECT_EQ("1 allFlow:{up:42,down:0}",
              client_->Ask("queryflow 2014-01-01 2014-01-01 \"" + sim + "\""));
  }
}

}  // namespace
