// The flow database on a real SQLite file in a scratch folder.
#include "control/operate_db.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/proxy_config.h"
#include "port/sysutils/control_socket_util.h"

namespace {

const int kDay = 16072;  // 2014-01-01

class OperateDBTest : public testing::Test {
 protected:
  void SetUp() override {
    db_.reset(new OperateDB(dir_.File("flow.db")));
    ASSERT_EQ(0, db_->CreateDB());
  }

  // Every row as "UID|TIME|UP|DOWN|ORIGIN|COMPRESSED|SIMID:type", in insertion order.
  std::vector<std::string> Rows() {
    std::vector<std::string> rows;
    EXPECT_EQ(0, db_->sqliteExecLock(
                     "select UID, TIME, UPFLOW, DOWNFLOW, ORIGINFLOW, COMPRESSEDFLOW, "
                     "SIMID || ':' || typeof(SIMID) from flow order by _id",
                     &CollectRow, &rows));
    return rows;
  }
  static int CollectRow(void* arg, int n, char** values, char**) {
    std::string row;
    for (int i = 0; i < n; ++i)
      row += (i ? "|" : "") + std::string(values[i] != nullptr ? values[i] : "NULL");
    static_cast<std::vector<std::string>*>(arg)->push_back(row);
    return 0;
  }

  FlowTotals Read(int begin, int end, const char* sim) {
    FlowTotals t;
    EXPECT_EQ(0, db_->ReadDB(&t, begin, end, sim));
    return t;
  }

  qvtest::ScratchDir dir_;
  std::unique_ptr<OperateDB> db_;
};

TEST_F(OperateDBTest, WritesMergeIntoOneRowPerKey) {
  db_->SetSimId("46001");
  EXPECT_EQ(0, db_->WriteDB(10061, kDay, true, 100));
  EXPECT_EQ(0, db_->WriteDB(10061, kDay, true, 100));
  EXPECT_EQ(0, db_->WriteDB(10061, kDay, false, 50));
  EXPECT_EQ(0, db_->WriteCompressedDB(10061, kDay, 1000, 300));
  EXPECT_EQ(0, db_->WriteCompressedDB(10061, kDay, 1000, 300));
  // Another UID, another day and another SIM each have rows of their own.
  EXPECT_EQ(0, db_->WriteDB(10062, kDay, true, 7));
  EXPECT_EQ(0, db_->WriteDB(10061, kDay + 1, false, 8));
  db_->SetSimId("46002");
  EXPECT_EQ(0, db_->WriteDB(10061, kDay, true, 9));
  EXPECT_EQ((std::vector<std::string>{"10061|16072|200|50|2000|600|46001:text",
                                      "10062|16072|7|0|0|0|46001:text",
                                      "10061|16073|0|8|0|0|46001:text",
                                      "10061|16072|9|0|0|0|46002:text"}),
            Rows());

  FlowTotals t = Read(kDay, kDay + 1, "46001");
  EXPECT_EQ(207, t.up);
  EXPECT_EQ(58, t.down);
  EXPECT_EQ(2000, t.uncompressed);
  EXPECT_EQ(600, t.compressed);
  EXPECT_EQ(207, Read(kDay, kDay, "46001").up);
  EXPECT_EQ(8, Read(kDay + 1, kDay + 1, "46001").down);
  EXPECT_EQ(9, Read(kDay, kDay, "46002").up);

  // Figures of the database's size range are kept whole (beyond 32 bits).
  db_->SetSimId("big");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(0, db_->WriteDB(1, kDay, false, 2000000000L));
  EXPECT_EQ(6000000000LL, Read(kDay, kDay, "big").down);
}

TEST_F(OperateDBTest, AnAllZeroRowCountsAsAbsent) {
  EXPECT_EQ(0, db_->WriteDB(10061, kDay, true, 0));
  EXPECT_EQ(0, db_->WriteDB(10061, kDay, true, 100));
  EXPECT_EQ((std::vector<std::string>{"10061|16072|0|0|0|0|:text", "10061|16072|100|0|0|0|:text"}),
            Rows());
  EXPECT_EQ(100, Read(kDay, kDay, "").up);
  // Later figures go to one of the key's rows, so the sum over both stays right.
  EXPECT_EQ(0, db_->WriteDB(10061, kDay, true, 50));
  EXPECT_EQ(0, db_->WriteDB(10061, kDay, false, 5));
  EXPECT_EQ(0, db_->WriteCompressedDB(10061, kDay, 30, 10));
  FlowTotals t = Read(kDay, kDay, "");
  EXPECT_EQ(150, t.up);
  EXPECT_EQ(5, t.down);
  EXPECT_EQ(30, t.uncompressed);
  EXPECT_EQ(10, t.compressed);
  EXPECT_EQ(2u, Rows().size());
}

TEST_F(OperateDBTest, ClearKeepsTheLastIntervalOnly) {
  GetProxyConfig()->clear_interval_ = 30;
  for (int back : {31, 30, 29, 0})
    ASSERT_EQ(0, db_->WriteDB(1, kDay - back, true, 1 + back));
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, db_->ClearDB(kDay));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ((std::vector<std::string>{"1|16043|30|0|0|0|:text", "1|16072|1|0|0|0|:text"}),
            Rows());
  GetProxyConfig()->clear_interval_ = 0;
  EXPECT_EQ(0, db_->ClearDB(kDay - 1));
  EXPECT_EQ(1u, Rows().size());
  GetProxyConfig()->clear_interval_ = 30;
}

TEST_F(OperateDBTest, DetailSumsPerApplicationInOrderOfFirstRow) {
  db_->SetSimId("s");
  // A week with three UIDs, one of them unknown (-1), plus rows outside the range or the SIM.
  db_->WriteDB(10063, kDay, true, 1);
  db_->WriteDB(-1, kDay + 1, false, 2);
  db_->WriteDB(10061, kDay + 2, true, 3);
  db_->WriteCompressedDB(10063, kDay + 6, 400, 100);
  db_->WriteDB(10063, kDay + 3, false, 4);
  db_->WriteDB(10064, kDay + 7, true, 99);
  db_->WriteDB(10065, kDay - 1, true, 99);
  db_->SetSimId("t");
  db_->WriteDB(10066, kDay + 1, true, 99);

  std::vector<AppFlowTotals> apps;
  ASSERT_EQ(0, db_->ReaddetailDB(&apps, kDay, kDay + 6, "s"));
  ASSERT_EQ(3u, apps.size());
  EXPECT_EQ(10063, apps[0].uid);
  EXPECT_EQ(1, apps[0].flow.up);
  EXPECT_EQ(4, apps[0].flow.down);
  EXPECT_EQ(400, apps[0].flow.uncompressed);
  EXPECT_EQ(100, apps[0].flow.compressed);
  EXPECT_EQ(-1, apps[1].uid);  // its own entry: never added to another application
  EXPECT_EQ(2, apps[1].flow.down);
  EXPECT_EQ(10061, apps[2].uid);
  EXPECT_EQ(3, apps[2].flow.up);
  EXPECT_EQ(0, apps[2].flow.down);

  FlowTotals t = Read(kDay, kDay + 6, "s");
  EXPECT_EQ(4, t.up);
  EXPECT_EQ(6, t.down);
  EXPECT_EQ(0, Read(kDay + 8, kDay + 20, "s").up);
}

TEST_F(OperateDBTest, TwoThousandApplications) {
  // One transaction for the rows; the write path itself is covered above.
  ASSERT_EQ(0, db_->sqliteExecLock(
                   "with recursive n(x) as (select 10000 union all select x + 1 from n "
                   "where x < 11999) insert into flow select null, x, 16072, "
                   "case when x % 2 = 0 then x else 0 end, case when x % 2 = 1 then x else 0 end, "
                   "0, 0, '' from n",
                   nullptr, nullptr));
  ASSERT_EQ(0, db_->WriteDB(10001, kDay, false, 1));
  std::vector<AppFlowTotals> apps;
  ASSERT_EQ(0, db_->ReaddetailDB(&apps, kDay, kDay, ""));
  ASSERT_EQ(2000u, apps.size());
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(10000 + i, apps[i].uid);
    ASSERT_EQ(i % 2 == 0 ? 10000 + i : 0, apps[i].flow.up);
    ASSERT_EQ(i % 2 == 0 ? 0 : 10000 + i + (i == 1), apps[i].flow.down);
  }
}

TEST_F(OperateDBTest, SimIdsAreTextNeverSql) {
  // Figures before any SIM id is known go under the empty one.
  ASSERT_EQ(0, db_->WriteDB(1, kDay, true, 10));
  EXPECT_EQ("", db_->sim_id());

  const std::string attacks[] = {
      "1) or (1=1",
      "0); drop table flow; --",
      "x'); delete from flow; --",
      "\" or \"\"=\"",
      std::string(5000, '9') + "7",  // longer than any fixed buffer, kept whole
      "SIM with blanks and ümlauts",
  };
  for (const std::string& sim : attacks) {
    db_->SetSimId(sim.c_str());
    EXPECT_EQ(sim, db_->sim_id());
    EXPECT_EQ(0, db_->WriteDB(2, kDay, true, 5));
    EXPECT_EQ(0, db_->WriteDB(2, kDay, true, 6));
    EXPECT_EQ(11, Read(kDay, kDay, sim.c_str()).up) << sim;
    std::vector<AppFlowTotals> apps;
    ASSERT_EQ(0, db_->ReaddetailDB(&apps, kDay, kDay, sim.c_str()));
    ASSERT_EQ(1u, apps.size());
    EXPECT_EQ(2, apps[0].uid);
  }
  // The long id is not confused with a cut-down copy of itself.
  EXPECT_EQ(0, Read(kDay, kDay, std::string(254, '9').c_str()).up);
  // The table and the rows of the empty SIM id are intact.
  EXPECT_EQ(10, Read(kDay, kDay, "").up);
  EXPECT_EQ(1u + 6u, Rows().size());
}

TEST_F(OperateDBTest, NumericSimIdsMatchRowsWrittenAsNumbers) {
  // Rows stored by earlier versions, which wrote the SIM id into the SQL text as a number.
  ASSERT_EQ(0, db_->sqliteExecLock("insert into flow values(null, 5, 16072, 7, 0, 0, 0, 46001)",
                                   nullptr, nullptr));
  db_->SetSimId("46001");
  EXPECT_EQ(0, db_->WriteDB(5, kDay, true, 3));
  EXPECT_EQ((std::vector<std::string>{"5|16072|10|0|0|0|46001:text"}), Rows());
  EXPECT_EQ(10, Read(kDay, kDay, "46001").up);
}

TEST_F(OperateDBTest, ClosedDatabaseFailsCleanlyAndReopens) {
  ASSERT_EQ(0, db_->WriteDB(1, kDay, true, 10));
  EXPECT_EQ(0, db_->CreateDB());  // already open: the same handle
  ASSERT_EQ(0, db_->CloseDB());
  EXPECT_EQ(0, db_->CloseDB());

  testing::internal::CaptureStderr();
  FlowTotals t;
  std::vector<AppFlowTotals> apps;
  EXPECT_EQ(-1, db_->WriteDB(1, kDay, true, 10));
  EXPECT_EQ(-1, db_->WriteCompressedDB(1, kDay, 1, 1));
  EXPECT_EQ(-1, db_->ReadDB(&t, kDay, kDay, ""));
  EXPECT_EQ(-1, db_->ReaddetailDB(&apps, kDay, kDay, ""));
  EXPECT_EQ(-1, db_->ClearDB(kDay));
  EXPECT_EQ(-1, db_->sqliteExecLock("select 1", nullptr, nullptr));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("W/operateDB("));
  EXPECT_NE(std::string::npos, log.find("handle is NULL."));
  EXPECT_NE(std::string::npos, log.find("write error!"));
  EXPECT_NE(std::string::npos, log.find("read error!"));
  EXPECT_NE(std::string::npos, log.find("ClearDB error!"));

  // Reopened, the figures are still there and new ones add to them.
  ASSERT_EQ(0, db_->CreateDB());
  EXPECT_EQ(0, db_->WriteDB(1, kDay, true, 5));
  EXPECT_EQ(15, Read(kDay, kDay, "").up);

  // A file that is not a database.
  std::string bad = dir_.File("bad.db");
  FILE* f = fopen(bad.c_str(), "w");
  fputs("this is not an SQLite file, only some text that is long enough to be a header.", f);
  fclose(f);
  OperateDB broken(bad);
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, broken.CreateDB());
  EXPECT_EQ(-1, broken.WriteDB(1, kDay, true, 1));
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("error is ")) << log;
  OperateDB unopenable(dir_.File("no/such/folder/flow.db"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, unopenable.CreateDB());
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Create error!"));
}

TEST_F(OperateDBTest, ReportsRaceWithQueriesAndClose) {
  // The proxy's thread writes while the control thread reads, closes and reopens.
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  testing::internal::CaptureStderr();  // writes while closed log "handle is NULL."
  std::thread writer([&] {
    while (!stop)
      if (db_->WriteDB(7, kDay, true, 1) == 0)
        ++written;
  });
  for (int i = 0; i < 40; ++i) {
    FlowTotals t;
    db_->ReadDB(&t, kDay, kDay, "");
    if (i % 4 == 0) {
      ASSERT_EQ(0, db_->CloseDB());
      ASSERT_EQ(0, db_->CreateDB());
    }
  }
  stop = true;
  writer.join();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(written.load(), Read(kDay, kDay, "").up);
  EXPECT_EQ(1u, Rows().size());
}

TEST(OperateDBPathTest, DatabasePathFromTheEnvironment) {
  unsetenv("HTTP2QUORVIN_DB");
  EXPECT_EQ("/data/data/com.tamsket.proxy/cache/flow.db", OperateDB::DefaultPath());
  qvtest::ScratchDir dir;
  setenv("HTTP2QUORVIN_DB", dir.File("env.db").c_str(), 1);
  OperateDB db;
  EXPECT_EQ(dir.File("env.db"), db.path());
  EXPECT_EQ(0, db.CreateDB());
  EXPECT_EQ(0, access(dir.File("env.db").c_str(), F_OK));
  EXPECT_EQ(0, db.CloseDB());
  unsetenv("HTTP2QUORVIN_DB");
}

}  // namespace
