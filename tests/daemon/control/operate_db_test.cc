// The flow database on a real SQLite file in a scratch folder.
#include "control/operate_db.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

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
  void SetUp() override { ASSERT_EQ(0, db_.CreateDB()); }

  // Every row as "UID|TIME|UP|DOWN|ORIGIN|COMPRESSED|SIMID:type", in insertion order.
  std::vector<std::string> Rows() { return Rows(&db_); }
  static std::vector<std::string> Rows(OperateDB* db) {
    std::vector<std::string> rows;
    db->sqliteExecLock(
        "select UID, TIME, UPFLOW, DOWNFLOW, ORIGINFLOW, COMPRESSEDFLOW, "
        "SIMID || ':' || typeof(SIMID) from flow order by _id",
        [](void* arg, int n, char** values, char**) {
          std::string row;
          for (int i = 0; i < n; ++i)
            row += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
          static_cast<std::vector<std::string>*>(arg)->push_back(row);
          return 0;
        },
        &rows);
    return rows;
  }
  // "up down uncompressed compressed" summed over days [begin, end] of `sim`.
  std::string Read(int begin, int end, const std::string& sim) {
    FlowTotals t;
    if (db_.ReadDB(&t, begin, end, sim.c_str()) != 0)
      return "error";
    return std::to_string(t.up) + " " + std::to_string(t.down) + " " +
           std::to_string(t.uncompressed) + " " + std::to_string(t.compressed);
  }

  qvtest::ScratchDir dir_;
  OperateDB db_{dir_.File("flow.db")};
};

TEST_F(OperateDBTest, WritesMergeIntoOneRowPerKeyAndAllZeroRowsCountAsAbsent) {
  db_.SetSimId("46001");
  db_.WriteDB(10061, kDay, true, 100);
  db_.WriteDB(10061, kDay, true, 100);
  db_.WriteDB(10061, kDay, false, 50);
  db_.WriteCompressedDB(10061, kDay, 1000, 300);
  EXPECT_EQ(0, db_.WriteCompressedDB(10061, kDay, 1000, 300));
  EXPECT_EQ(0, db_.WriteDB(10062, kDay, true, 7));       // another UID,
  EXPECT_EQ(0, db_.WriteDB(10061, kDay + 1, false, 8));  // another day
  db_.SetSimId("46002");
  EXPECT_EQ(0, db_.WriteDB(10061, kDay, true, 0));  // and another SIM: rows of their own
  EXPECT_EQ(0, db_.WriteDB(10061, kDay, true, 9));
  EXPECT_EQ((std::vector<std::string>{
                "10061|16072|200|50|2000|600|46001:text", "10062|16072|7|0|0|0|46001:text",
                "10061|16073|0|8|0|0|46001:text",
                "10061|16072|0|0|0|0|46002:text",  // all zero: the next write made a new row
                "10061|16072|9|0|0|0|46002:text"}),
            Rows());
  EXPECT_EQ("207 58 2000 600", Read(kDay, kDay + 1, "46001"));
  EXPECT_EQ("207 50 2000 600", Read(kDay - 5, kDay, "46001"));
  // Later figures of a key with two rows go to one of them: the sum over both stays right.
  db_.WriteDB(10061, kDay, true, 50);
  db_.WriteCompressedDB(10061, kDay, 30, 10);
  EXPECT_EQ("59 0 30 10", Read(kDay, kDay, "46002"));
  // Sums beyond 32 bits are kept whole.
  for (int i = 0; i < 3; ++i)
    db_.WriteDB(1, kDay + 9, false, 2000000000L);
  EXPECT_EQ("0 6000000000 0 0", Read(kDay + 9, kDay + 9, "46002"));
}

TEST_F(OperateDBTest, ClearAndDetailSums) {
  GetProxyConfig()->clear_interval_ = 30;
  for (int back : {31, 30, 29})
    db_.WriteDB(1, kDay - back, true, back);
  EXPECT_EQ(0, db_.ClearDB(kDay));
  EXPECT_EQ((std::vector<std::string>{"1|16043|29|0|0|0|:text"}), Rows());

  // A week with three UIDs, one unknown (-1), and rows outside the range or of another SIM.
  db_.WriteDB(10063, kDay, true, 1);
  db_.WriteDB(-1, kDay + 1, false, 2);
  db_.WriteDB(10061, kDay + 2, true, 3);
  db_.WriteCompressedDB(10063, kDay + 6, 400, 100);
  db_.WriteDB(10064, kDay + 7, true, 99);
  db_.SetSimId("t");
  db_.WriteDB(10066, kDay + 1, true, 99);
  std::vector<AppFlowTotals> apps;
  ASSERT_EQ(0, db_.ReaddetailDB(&apps, kDay, kDay + 6, ""));
  ASSERT_EQ(3u, apps.size());
  EXPECT_EQ(10063, apps[0].uid);
  EXPECT_EQ(1, apps[0].flow.up);
  EXPECT_EQ(400, apps[0].flow.uncompressed);
  EXPECT_EQ(100, apps[0].flow.compressed);
  EXPECT_EQ(-1, apps[1].uid);  // an entry of its own, never added to another application
  EXPECT_EQ(2, apps[1].flow.down);
  EXPECT_EQ(10061, apps[2].uid);
  EXPECT_EQ(3, apps[2].flow.up);

  // 2,000 applications are all reported.
  ASSERT_EQ(0, db_.sqliteExecLock("with recursive n(x) as (select 1 union all select x + 1 "
                                  "from n where x < 2000) insert into flow select null, x, 1, "
                                  "x, 0, 0, 0, 'many' from n",
                                  nullptr, nullptr));
  apps.clear();
  ASSERT_EQ(0, db_.ReaddetailDB(&apps, 1, 1, "many"));
  ASSERT_EQ(2000u, apps.size());
  for (int i = 0; i < 2000; ++i)
    ASSERT_TRUE(apps[i].uid == i + 1 && apps[i].flow.up == i + 1) << i;
}

TEST_F(OperateDBTest, SimIdsAreTextNeverSql) {
  db_.WriteDB(1, kDay, true, 10);  // before any SIM id: under the empty one
  // A row written by earlier versions, which put the SIM id into the SQL text as a number.
  db_.sqliteExecLock("insert into flow values(null, 5, 16072, 7, 0, 0, 0, 46001)", nullptr,
                     nullptr);
  db_.SetSimId("46001");
  db_.WriteDB(5, kDay, true, 3);
  EXPECT_EQ("10 0 0 0", Read(kDay, kDay, "46001"));
  for (const std::string& sim :
       {std::string("1) or (1=1"), std::string("0); drop table flow; --"),
        std::string("x'); delete from flow; --"), std::string(5000, '9') + "7"}) {
    db_.SetSimId(sim.c_str());
    EXPECT_EQ(sim, db_.sim_id());
    db_.WriteDB(2, kDay, true, 5);
    db_.WriteDB(2, kDay, true, 6);
    EXPECT_EQ("11 0 0 0", Read(kDay, kDay, sim)) << sim;
  }
  EXPECT_EQ("0 0 0 0", Read(kDay, kDay, std::string(254, '9')));  // no cut-down copy
  EXPECT_EQ("10 0 0 0", Read(kDay, kDay, ""));
  EXPECT_EQ(6u, Rows().size());  // the table and every row intact
}

TEST_F(OperateDBTest, ClosedOrBrokenDatabaseFailsCleanly) {
  db_.WriteDB(1, kDay, true, 10);
  EXPECT_EQ(0, db_.CreateDB());  // already open: kept
  ASSERT_EQ(0, db_.CloseDB());
  EXPECT_EQ(0, db_.CloseDB());
  testing::internal::CaptureStderr();
  FlowTotals t;
  std::vector<AppFlowTotals> apps;
  EXPECT_EQ(-1, db_.WriteDB(1, kDay, true, 10));
  EXPECT_EQ(-1, db_.WriteCompressedDB(1, kDay, 1, 1));
  EXPECT_EQ(-1, db_.ReadDB(&t, kDay, kDay, ""));
  EXPECT_EQ(-1, db_.ReaddetailDB(&apps, kDay, kDay, ""));
  EXPECT_EQ(-1, db_.ClearDB(kDay));
  std::string log = testing::internal::GetCapturedStderr();
  for (const char* line :
       {"W/operateDB(", "handle is NULL.", "write error!", "read error!", "ClearDB error!"})
    EXPECT_NE(std::string::npos, log.find(line)) << line;
  ASSERT_EQ(0, db_.CreateDB());
  db_.WriteDB(1, kDay, true, 5);
  EXPECT_EQ("15 0 0 0", Read(kDay, kDay, ""));

  FILE* f = fopen(dir_.File("bad.db").c_str(), "w");
  fputs("not an SQLite file, only text that is long enough to fill a database header.", f);
  fclose(f);
  OperateDB broken(dir_.File("bad.db"));
  OperateDB unopenable(dir_.File("no/such/folder/flow.db"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, broken.CreateDB());
  EXPECT_EQ(-1, unopenable.CreateDB());
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("error is ")) << log;
  EXPECT_NE(std::string::npos, log.find("Create error!")) << log;

  // The path comes from HTTP2QUORVIN_DB.
  unsetenv("HTTP2QUORVIN_DB");
  EXPECT_EQ("/data/data/com.tamsket.proxy/cache/flow.db", OperateDB::DefaultPath());
  setenv("HTTP2QUORVIN_DB", dir_.File("env.db").c_str(), 1);
  EXPECT_EQ(dir_.File("env.db"), OperateDB().path());
  unsetenv("HTTP2QUORVIN_DB");
}

// The traffic reports' batched figures: the rows of immediate writes, in a WAL file, written
// by close and kept through a write that fails.
TEST_F(OperateDBTest, BatchedFiguresMakeTheRowsOfImmediateWrites) {
  const struct {
    const char* sim;  // set before the figure when not null
    int uid;
    int day;
    int kind;  // 1 up, 0 down, 2 compression
    long a, b;
  } reports[] = {
      {nullptr, 10061, kDay, 1, 100, 0},
      {nullptr, 10062, kDay, 0, 7, 0},
      {nullptr, 10061, kDay, 0, 50, 0},
      {nullptr, 10061, kDay, 2, 1000, 300},
      {"46001", 10061, kDay, 1, 9, 0},
      {nullptr, 10061, kDay + 1, 2, 5, 2},
      {nullptr, -1, kDay, 0, 2000000000L, 0},
      {"", 10061, kDay, 1, 1, 0},  // back to the first SIM id: its row again
  };
  OperateDB batched(dir_.File("batched.db"));
  ASSERT_EQ(0, batched.CreateDB());
  for (const auto& r : reports) {
    for (OperateDB* db : {&db_, &batched}) {
      if (r.sim != nullptr)
        db->SetSimId(r.sim);
    }
    if (r.kind == 2) {
      db_.WriteCompressedDB(r.uid, r.day, static_cast<int>(r.a), static_cast<int>(r.b));
      batched.AddCompressed(r.uid, r.day, static_cast<int>(r.a), static_cast<int>(r.b));
    } else {
      db_.WriteDB(r.uid, r.day, r.kind == 1, r.a);
      batched.AddFlow(r.uid, r.day, r.kind == 1, r.a);
    }
  }
  std::vector<std::string> expected = Rows();
  ASSERT_EQ(5u, expected.size());
  ASSERT_EQ(0, batched.CloseDB());  // writes what is pending

  sqlite3* raw = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(dir_.File("batched.db").c_str(), &raw));
  std::string mode;
  sqlite3_exec(
      raw, "PRAGMA journal_mode",
      [](void* arg, int, char** v, char**) { return *static_cast<std::string*>(arg) = v[0], 0; },
      &mode, nullptr);
  EXPECT_EQ("wal", mode);
  ASSERT_EQ(0, batched.CreateDB());
  EXPECT_EQ(expected, Rows(&batched));

  // Another connection holds the write lock: the flush fails and keeps the figures; the next
  // one writes them once, with what came meanwhile.
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
  batched.AddFlow(10062, kDay, false, 10);
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, batched.Flush());
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("write error!"));
  batched.AddFlow(10062, kDay, false, 20);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr));
  EXPECT_EQ(0, batched.Flush());
  EXPECT_EQ(0, batched.Flush());
  db_.WriteDB(10062, kDay, false, 30);
  EXPECT_EQ(Rows(), Rows(&batched));
  sqlite3_close(raw);
}

TEST_F(OperateDBTest, ReportsRaceWithQueriesAndClose) {
  // The proxy's thread writes while the control thread reads, closes and reopens.
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  testing::internal::CaptureStderr();  // writes while closed log "handle is NULL."
  std::atomic<int> added{0};
  std::thread writer([&] {
    while (!stop) {
      written += db_.WriteDB(7, kDay, true, 1) == 0;
      db_.AddFlow(8, kDay + 1, false, 1);  // batched: none lost across the closes
      ++added;
    }
  });
  for (int i = 0; i < 40 || written < 50; ++i) {
    Read(kDay, kDay, "");
    if (i % 4 == 0) {
      ASSERT_EQ(0, db_.CloseDB());
      ASSERT_EQ(0, db_.CreateDB());
    }
  }
  stop = true;
  writer.join();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::to_string(written.load()) + " 0 0 0", Read(kDay, kDay, ""));
  EXPECT_EQ("0 " + std::to_string(added.load()) + " 0 0", Read(kDay + 1, kDay + 1, ""));
  EXPECT_EQ(2u, Rows().size());
}

}  // namespace
