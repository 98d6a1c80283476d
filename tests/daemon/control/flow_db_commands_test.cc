// "sim" and the query commands through a real control socket on a real database.
#include "control/flow_db_commands.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "control/operate_db.h"
#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

using qvtest::ControlClient;

const int kDay = 16072;  // 2014-01-01

class FlowDbCommandsTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("ctl");
    setenv("HTTP2QUORVIN_SOCKET", path_.c_str(), 1);
    db_.reset(new OperateDB(dir_.File("flow.db")));
    ASSERT_EQ(0, db_->CreateDB());
    listener_.reset(new qvtest::TestListener("qvcommands"));
    listener_->Add(new SetSimCommand(listener_.get(), nullptr, db_.get()));
    listener_->Add(new QueryCommand(QueryCommand::kCompression, listener_.get(), nullptr,
                                    db_.get()));
    listener_->Add(new QueryDetailCommand(QueryCommand::kCompression, listener_.get(), nullptr,
                                          db_.get()));
    listener_->Add(new QueryCommand(QueryCommand::kFlow, listener_.get(), nullptr, db_.get()));
    listener_->Add(new QueryDetailCommand(QueryCommand::kFlow, listener_.get(), nullptr,
                                          db_.get()));
    ASSERT_EQ(0, listener_->startListener());
    client_.reset(new ControlClient(path_));
    ASSERT_TRUE(client_->ok());
  }
  void TearDown() override {
    client_.reset();
    listener_.reset();
    unsetenv("HTTP2QUORVIN_SOCKET");
  }

  // Sends a command that must get no reply: the echo sent after it answers first.
  std::string Silent(const std::string& command) {
    testing::internal::CaptureStderr();
    EXPECT_TRUE(client_->Send(command));
    EXPECT_EQ("1 1:[echo]", client_->Ask("echo")) << command;
    return testing::internal::GetCapturedStderr();
  }

  qvtest::ScratchDir dir_;
  std::string path_;
  std::unique_ptr<OperateDB> db_;
  std::unique_ptr<qvtest::TestListener> listener_;
  std::unique_ptr<ControlClient> client_;
};

TEST_F(FlowDbCommandsTest, RepliesOfSimAndTheFourQueries) {
  const char* empty[][2] = {
      {"query 2014-01-01 2014-01-07 46001", "1 allFlow:{original:0,compressed:0}"},
      {"queryflow 2014-01-01 2014-01-07 46001", "1 allFlow:{up:0,down:0}"},
      {"querydetail 2014-01-01 2014-01-07 46001", "1 {Flow:[]}"},
      {"querydetailflow 2014-01-01 2014-01-07 46001", "1 {Flow:[]}"},
  };
  for (auto& c : empty)
    EXPECT_EQ(c[1], client_->Ask(c[0]));

  EXPECT_EQ("1 SetSimOkay.", client_->Ask("sim 46001"));
  EXPECT_EQ("46001", db_->sim_id());
  db_->WriteDB(10061, kDay, true, 100);
  db_->WriteDB(10061, kDay + 2, false, 2000);
  db_->WriteCompressedDB(10061, kDay + 2, 5000, 1200);
  db_->WriteDB(10062, kDay + 6, true, 7);
  db_->WriteDB(10063, kDay + 1, false, 8);
  db_->WriteCompressedDB(10063, kDay + 1, 10, 4);
  db_->WriteDB(10064, kDay + 7, true, 99);  // the day after the range
  const char* filled[][2] = {
      {"query 2014-01-01 2014-01-07 46001", "1 allFlow:{original:5010,compressed:1204}"},
      {"queryflow 2014-01-01 2014-01-07 46001", "1 allFlow:{up:107,down:2008}"},
      {"querydetail 2014-01-01 2014-01-07 46001",
       "1 {Flow:[{original:5000,compressed:1200,appUID:10061},"
       "{original:0,compressed:0,appUID:10062},{original:10,compressed:4,appUID:10063}]}"},
      {"querydetailflow 2014-01-01 2014-01-07 46001",
       "1 {Flow:[{up:100,down:2000,appUID:10061},{up:7,down:0,appUID:10062},"
       "{up:0,down:8,appUID:10063}]}"},
      {"queryflow 2014-01-08 2014-01-08 46001", "1 allFlow:{up:99,down:0}"},
      {"queryflow 2014-01-01 2014-01-07 46002", "1 allFlow:{up:0,down:0}"},
  };
  for (auto& c : filled)
    EXPECT_EQ(c[1], client_->Ask(c[0]));
}

TEST_F(FlowDbCommandsTest, MissingWordsAndShortDatesChangeNothingAndSendNothing) {
  ASSERT_EQ("1 SetSimOkay.", client_->Ask("sim keep"));
  const char* bad[] = {
      "sim",
      "query",
      "query 2014-01-01 2014-01-07",
      "queryflow 2014-01-01",
      "querydetail 2014-01-01 2014-01-07",
      "querydetailflow",
      "query 2014-1-1 2014-01-07 keep",
      "queryflow 2014-01-01 2014-01-7 keep",
      "querydetail 14-01-01 2014-01-07 keep",
      "querydetailflow \"\" 2014-01-07 keep",
  };
  for (const char* command : bad) {
    std::string log = Silent(command);
    EXPECT_NE(std::string::npos, log.find("W/control_message(")) << command << ": " << log;
    EXPECT_NE(std::string::npos, log.find("Handler '")) << command << ": " << log;
  }
  EXPECT_EQ("keep", db_->sim_id());
}

TEST_F(FlowDbCommandsTest, SimIdsOfAnyTextAndLength) {
  const std::string sims[] = {
      "1 or 1=1",
      "0); drop table flow; --",
      std::string(20000, '8'),
  };
  for (const std::string& sim : sims) {
    std::string quoted = "\"" + sim + "\"";
    ASSERT_EQ("1 SetSimOkay.", client_->Ask("sim " + quoted));
    EXPECT_EQ(sim, db_->sim_id());
    db_->WriteDB(1, kDay, true, 42);
    EXPECT_EQ("1 allFlow:{up:42,down:0}", client_->Ask("queryflow 2014-01-01 2014-01-01 " + quoted));
  }
  EXPECT_EQ("1 SetSimOkay.", client_->Ask("sim \"\""));
  EXPECT_EQ("", db_->sim_id());
  EXPECT_EQ("1 allFlow:{up:0,down:0}", client_->Ask("queryflow 2014-01-01 2014-01-01 \"\""));
}

TEST_F(FlowDbCommandsTest, DetailOfTwoThousandApplicationsIsWhole) {
  ASSERT_EQ(0, db_->sqliteExecLock(
                   "with recursive n(x) as (select 10000 union all select x + 1 from n "
                   "where x < 11999) insert into flow select null, x, 16072, x, 1, 0, 0, '' from n",
                   nullptr, nullptr));
  std::string reply = client_->Ask("querydetailflow 2014-01-01 2014-01-01 \"\"");
  std::string expected = "1 {Flow:[";
  for (int uid = 10000; uid < 12000; ++uid) {
    if (uid > 10000)
      expected += ",";
    expected += "{up:" + std::to_string(uid) + ",down:1,appUID:" + std::to_string(uid) + "}";
  }
  expected += "]}";
  EXPECT_EQ(expected.size(), reply.size());
  EXPECT_EQ(expected, reply);
}

}  // namespace
