#include "control/operate_db.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/logging.h"

namespace {

const char kTag[] = "operateDB";
const char kDefaultPath[] = "/data/data/com.tamsket.proxy/cache/flow.db";
const char kTable[] = "flow";

const char kCreateFormat[] =
    "create table if not exists %s\t\t(_id INTEGER PRIMARY KEY AUTOINCREMENT, UID integer,"
    "\t\tTIME integer NOT NULL,UPFLOW integer,DOWNFLOW integer,"
    "\t\tORIGINFLOW integer,COMPRESSEDFLOW integer,SIMID text)";

// Every value is bound, never written into the text: a SIM id is data whatever it holds.
const char* const kStatementText[] = {
    "select * from flow where (TIME = ? and UID = ? and SIMID = ?)",
    "insert into flow values(null, ?, ?, ?, ?, ?, ?, ?)",
    "update flow set UPFLOW = ? where _id = ?",
    "update flow set DOWNFLOW = ? where _id = ?",
    "update flow set ORIGINFLOW = ?, COMPRESSEDFLOW = ? where _id = ?",
    "update flow set UPFLOW = ?, DOWNFLOW = ?, ORIGINFLOW = ?, COMPRESSEDFLOW = ? where _id = ?",
    "select * from flow where (TIME >= ? and TIME <= ? and SIMID = ?)",
    "select * from flow where(TIME >= ? and TIME <= ? and SIMID = ?)",
    "delete from flow where TIME <= ?",
};

// Columns of "select *".
enum Column { kId = 0, kUid = 1, kUp = 3, kDown = 4, kOrigin = 5, kCompressed = 6 };

// Another process (the controlling application) may hold the file briefly.
const int kBusyTimeoutMs = 250;

FlowTotals RowTotals(sqlite3_stmt* stmt) {
  FlowTotals t;
  t.up = sqlite3_column_int64(stmt, kUp);
  t.down = sqlite3_column_int64(stmt, kDown);
  t.uncompressed = sqlite3_column_int64(stmt, kOrigin);
  t.compressed = sqlite3_column_int64(stmt, kCompressed);
  return t;
}

void Add(FlowTotals* to, const FlowTotals& from) {
  to->up += from.up;
  to->down += from.down;
  to->uncompressed += from.uncompressed;
  to->compressed += from.compressed;
}

int FirstColumn(void* arg, int columns, char** values, char**) {
  if (columns > 0 && values[0] != nullptr)
    *static_cast<std::string*>(arg) = values[0];
  return 0;
}

}  // namespace

std::string OperateDB::DefaultPath() {
  const char* env = getenv("HTTP2QUORVIN_DB");
  return (env != nullptr && *env != '\0') ? env : kDefaultPath;
}

OperateDB::OperateDB() : OperateDB(DefaultPath()) {}

OperateDB::OperateDB(const std::string& path) : path_(path) {
  QV_LOGD(kTag, "OperateDB");
}

OperateDB::~OperateDB() {
  StopFlusher();
  std::lock_guard<std::mutex> lock(lock_);
  if (handle_ != nullptr)
    FlushLocked();
  FinalizeLocked();
  if (handle_ != nullptr)
    sqlite3_close(handle_);
  handle_ = nullptr;
}

template <typename RowFn>
int OperateDB::StepLocked(sqlite3_stmt* stmt, RowFn row) {
  QV_LOGD(kTag, "sqliteExecLock");
  // The statement text with its placeholders: the values are bound, never part of the text.
  QV_LOGD(kTag, "sql: %s", sqlite3_sql(stmt));
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
    row(stmt);
  if (rc != SQLITE_DONE)
    QV_LOGW(kTag, "error is %s", sqlite3_errmsg(handle_));
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc;
}

int OperateDB::ExecLocked(const char* sql, RowCallback callback, void* arg) {
  QV_LOGD(kTag, "sql: %s", sql);
  char* error = nullptr;
  int rc = sqlite3_exec(handle_, sql, callback, arg, &error);
  if (rc != SQLITE_OK) {
    QV_LOGW(kTag, "error is %s", error != nullptr ? error : sqlite3_errmsg(handle_));
    sqlite3_free(error);
  }
  return rc;
}

int OperateDB::sqliteExecLock(const char* sql, RowCallback callback, void* arg) {
  QV_LOGD(kTag, "sqliteExecLock");
  std::lock_guard<std::mutex> lock(lock_);
  // Checked under the lock: the control thread may be closing the handle right now.
  if (handle_ == nullptr) {
    QV_LOGW(kTag, "handle is NULL.");
    return -1;
  }
  if (sql == nullptr) {
    QV_LOGW(kTag, "sql is NULL.");
    return -1;
  }
  FlushLocked();
  return ExecLocked(sql, callback, arg);
}

int OperateDB::PrepareLocked() {
  for (int i = 0; i < kStatementCount; ++i) {
    if (sqlite3_prepare_v2(handle_, kStatementText[i], -1, &statements_[i], nullptr) != SQLITE_OK) {
      QV_LOGW(kTag, "Create error!%s", sqlite3_errmsg(handle_));
      FinalizeLocked();
      return -1;
    }
  }
  return 0;
}

void OperateDB::FinalizeLocked() {
  for (sqlite3_stmt*& stmt : statements_) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
}

int OperateDB::CreateDB() {
  QV_LOGD(kTag, "CreateDB");
  std::lock_guard<std::mutex> lock(lock_);
  if (handle_ != nullptr)
    return 0;  // a second "start": keep the open handle rather than leak it
  // A link in place of the database would have the daemon write figures wherever it points.
  if (sqlite3_open_v2(path_.c_str(), &handle_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK) {
    QV_LOGW(kTag, "Create error!%s",
            handle_ != nullptr ? sqlite3_errmsg(handle_) : "out of memory");
    sqlite3_close(handle_);
    handle_ = nullptr;
    return -1;
  }
  sqlite3_busy_timeout(handle_, kBusyTimeoutMs);
  // WAL with synchronous=NORMAL: a commit is an append to the log that a crash of the daemon
  // cannot undo, without a sync of its own; the log reaches the disk at its checkpoints. The
  // file stays consistent either way.
  std::string mode;
  ExecLocked("PRAGMA journal_mode=WAL", FirstColumn, &mode);
  if (strcasecmp(mode.c_str(), "wal") != 0)
    QV_LOGW(kTag, "journal mode is %s, not WAL", mode.c_str());
  ExecLocked("PRAGMA synchronous=NORMAL", nullptr, nullptr);
  char* create = sqlite3_mprintf(kCreateFormat, kTable);
  int rc = create != nullptr ? ExecLocked(create, nullptr, nullptr) : SQLITE_NOMEM;
  sqlite3_free(create);
  if (rc != SQLITE_OK || PrepareLocked() != 0) {
    // Without its table and statements the handle is of no use: close it again.
    FinalizeLocked();
    sqlite3_close(handle_);
    handle_ = nullptr;
    return -1;
  }
  StartFlusher();
  return 0;
}

int OperateDB::CloseDB() {
  // The flusher takes lock_: it is stopped before.
  StopFlusher();
  std::lock_guard<std::mutex> lock(lock_);
  if (handle_ == nullptr)
    return 0;
  FlushLocked();
  FinalizeLocked();
  if (sqlite3_close(handle_) != SQLITE_OK) {
    QV_LOGW(kTag, "Close error!");
    // Still open: keep it usable.
    PrepareLocked();
    StartFlusher();
    return -1;
  }
  handle_ = nullptr;
  return 0;
}

int OperateDB::ClearDB(int today) {
  int rc = -1;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (handle_ == nullptr) {
      QV_LOGW(kTag, "handle is NULL.");
    } else {
      FlushLocked();
      sqlite3_stmt* stmt = statements_[kClear];
      sqlite3_bind_int(stmt, 1, today - GetProxyConfig()->clear_interval_);
      rc = StepLocked(stmt, [](sqlite3_stmt*) {});
    }
  }
  if (rc != SQLITE_DONE) {
    QV_LOGW(kTag, "ClearDB error!");
    return -1;
  }
  QV_LOGD(kTag, "ClearDB ok!");
  return 0;
}

int OperateDB::AddLocked(int uid, int day, const std::string& sim, const FlowTotals& add,
                         Statement update) {
  if (handle_ == nullptr) {
    QV_LOGW(kTag, "handle is NULL.");
    return -1;
  }
  // Sum what the key holds; the last row is the one that takes the addition.
  sqlite3_stmt* select = statements_[kSelectKey];
  sqlite3_bind_int(select, 1, day);
  sqlite3_bind_int(select, 2, uid);
  sqlite3_bind_text(select, 3, sim.data(), static_cast<int>(sim.size()), SQLITE_STATIC);
  FlowTotals sum;
  FlowTotals last;
  sqlite3_int64 last_id = -1;
  if (StepLocked(select, [&](sqlite3_stmt* s) {
        last = RowTotals(s);
        last_id = sqlite3_column_int64(s, kId);
        Add(&sum, last);
      }) != SQLITE_DONE)
    return -1;

  sqlite3_stmt* stmt;
  if (sum.up == 0 && sum.down == 0 && sum.uncompressed == 0 && sum.compressed == 0) {
    // A key whose counts are all 0 counts as absent: it gets a row of its own.
    stmt = statements_[kInsert];
    sqlite3_bind_int(stmt, 1, uid);
    sqlite3_bind_int(stmt, 2, day);
    sqlite3_bind_int64(stmt, 3, add.up);
    sqlite3_bind_int64(stmt, 4, add.down);
    sqlite3_bind_int64(stmt, 5, add.uncompressed);
    sqlite3_bind_int64(stmt, 6, add.compressed);
    sqlite3_bind_text(stmt, 7, sim.data(), static_cast<int>(sim.size()), SQLITE_STATIC);
  } else {
    // Added to one row only, so a key that has several rows still sums right.
    stmt = statements_[update];
    int n = 1;
    if (update == kUpdateUp) {
      sqlite3_bind_int64(stmt, n++, last.up + add.up);
    } else if (update == kUpdateDown) {
      sqlite3_bind_int64(stmt, n++, last.down + add.down);
    } else if (update == kUpdateAll) {
      sqlite3_bind_int64(stmt, n++, last.up + add.up);
      sqlite3_bind_int64(stmt, n++, last.down + add.down);
      sqlite3_bind_int64(stmt, n++, last.uncompressed + add.uncompressed);
      sqlite3_bind_int64(stmt, n++, last.compressed + add.compressed);
    } else {
      sqlite3_bind_int64(stmt, n++, last.uncompressed + add.uncompressed);
      sqlite3_bind_int64(stmt, n++, last.compressed + add.compressed);
    }
    sqlite3_bind_int64(stmt, n, last_id);
  }
  return StepLocked(stmt, [](sqlite3_stmt*) {}) == SQLITE_DONE ? 0 : -1;
}

int OperateDB::WriteDB(int uid, int day, bool up, long bytes) {
  QV_LOGD(kTag, "WriteDB");
  FlowTotals add;
  (up ? add.up : add.down) = bytes;
  const std::string sim = sim_id();
  int rc;
  {
    std::lock_guard<std::mutex> lock(lock_);
    rc = AddLocked(uid, day, sim, add, up ? kUpdateUp : kUpdateDown);
  }
  if (rc != 0)
    QV_LOGW(kTag, "write error!");
  return rc;
}

int OperateDB::WriteCompressedDB(int uid, int day, int uncompressed, int compressed) {
  FlowTotals add;
  add.uncompressed = uncompressed;
  add.compressed = compressed;
  const std::string sim = sim_id();
  int rc;
  {
    std::lock_guard<std::mutex> lock(lock_);
    rc = AddLocked(uid, day, sim, add, kUpdateCompressed);
  }
  if (rc != 0)
    QV_LOGW(kTag, "write error!");
  return rc;
}

int OperateDB::ReadDB(FlowTotals* out, int begin, int end, const char* simid) {
  QV_LOGD(kTag, "ReadDB, begin = %d, end = %d", begin, end);
  int rc = -1;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (handle_ == nullptr) {
      QV_LOGW(kTag, "handle is NULL.");
    } else {
      FlushLocked();
      sqlite3_stmt* stmt = statements_[kSelectRange];
      sqlite3_bind_int(stmt, 1, begin);
      sqlite3_bind_int(stmt, 2, end);
      sqlite3_bind_text(stmt, 3, simid != nullptr ? simid : "", -1, SQLITE_TRANSIENT);
      FlowTotals sum;
      rc = StepLocked(stmt, [&sum](sqlite3_stmt* s) { Add(&sum, RowTotals(s)); });
      if (rc == SQLITE_DONE)
        Add(out, sum);
    }
  }
  if (rc != SQLITE_DONE) {
    QV_LOGW(kTag, "read error!");
    return -1;
  }
  QV_LOGD(kTag, "read ok!");
  return 0;
}

int OperateDB::ReaddetailDB(std::vector<AppFlowTotals>* out, int begin, int end,
                            const char* simid) {
  QV_LOGD(kTag, "ReaddetailDB");
  int rc = -1;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (handle_ == nullptr) {
      QV_LOGW(kTag, "handle is NULL.");
    } else {
      FlushLocked();
      sqlite3_stmt* stmt = statements_[kSelectRangeDetail];
      sqlite3_bind_int(stmt, 1, begin);
      sqlite3_bind_int(stmt, 2, end);
      sqlite3_bind_text(stmt, 3, simid != nullptr ? simid : "", -1, SQLITE_TRANSIENT);
      std::vector<AppFlowTotals> result = *out;
      std::unordered_map<int, size_t> index;
      for (size_t i = 0; i < result.size(); ++i)
        index.emplace(result[i].uid, i);
      rc = StepLocked(stmt, [&](sqlite3_stmt* s) {
        int uid = sqlite3_column_int(s, kUid);
        auto it = index.find(uid);
        if (it == index.end()) {
          it = index.emplace(uid, result.size()).first;
          result.emplace_back();
          result.back().uid = uid;
        }
        Add(&result[it->second].flow, RowTotals(s));
      });
      if (rc == SQLITE_DONE)
        out->swap(result);
    }
  }
  if (rc != SQLITE_DONE) {
    QV_LOGW(kTag, "read error!");
    return -1;
  }
  return 0;
}

void OperateDB::SetSimId(const char* simid) {
  std::lock_guard<std::mutex> lock(pending_lock_);
  sim_id_ = simid != nullptr ? simid : "";
}

std::string OperateDB::sim_id() {
  std::lock_guard<std::mutex> lock(pending_lock_);
  return sim_id_;
}

void OperateDB::AddPending(int uid, int day, const FlowTotals& add) {
  std::lock_guard<std::mutex> lock(pending_lock_);
  // The SIM id is the one in force now, not at the write.
  pending_.Add(PendingKey{uid, day, sim_id_}, add);
}

void OperateDB::Pending::Add(const PendingKey& key, const FlowTotals& add) {
  auto it = index.find(key);
  if (it == index.end()) {
    index.emplace(key, entries.size());
    entries.emplace_back(key, add);
    return;
  }
  ::Add(&entries[it->second].second, add);
}

void OperateDB::AddFlow(int uid, int day, bool up, long bytes) {
  FlowTotals add;
  (up ? add.up : add.down) = bytes;
  AddPending(uid, day, add);
}

void OperateDB::AddCompressed(int uid, int day, int uncompressed, int compressed) {
  FlowTotals add;
  add.uncompressed = uncompressed;
  add.compressed = compressed;
  AddPending(uid, day, add);
}

int OperateDB::Flush() {
  {
    std::lock_guard<std::mutex> lock(pending_lock_);
    if (pending_.entries.empty())
      return 0;
  }
  std::lock_guard<std::mutex> lock(lock_);
  return FlushLocked();
}

int OperateDB::FlushLocked() {
  Pending batch;
  {
    std::lock_guard<std::mutex> lock(pending_lock_);
    std::swap(batch, pending_);
  }
  if (batch.entries.empty())
    return 0;
  int rc = -1;
  if (handle_ == nullptr) {
    QV_LOGW(kTag, "handle is NULL.");
  } else if (ExecLocked("BEGIN IMMEDIATE", nullptr, nullptr) == SQLITE_OK) {
    rc = 0;
    for (const auto& entry : batch.entries) {
      const PendingKey& key = entry.first;
      if (AddLocked(key.uid, key.day, key.sim, entry.second, kUpdateAll) != 0) {
        rc = -1;
        break;
      }
    }
    if (rc == 0 && ExecLocked("COMMIT", nullptr, nullptr) != SQLITE_OK)
      rc = -1;
    if (rc != 0)
      ExecLocked("ROLLBACK", nullptr, nullptr);
  }
  if (rc != 0) {
    QV_LOGW(kTag, "write error!");
    // Nothing of the batch was written: it waits for the next flush, with what came meanwhile.
    std::lock_guard<std::mutex> lock(pending_lock_);
    for (const auto& entry : pending_.entries)
      batch.Add(entry.first, entry.second);
    std::swap(batch, pending_);
  }
  return rc;
}

void OperateDB::StartFlusher() {
  if (flusher_.joinable())
    return;
  {
    std::lock_guard<std::mutex> lock(flusher_lock_);
    flusher_stop_ = false;
  }
  flusher_ = std::thread(&OperateDB::RunFlusher, this);
}

void OperateDB::StopFlusher() {
  if (!flusher_.joinable())
    return;
  {
    std::lock_guard<std::mutex> lock(flusher_lock_);
    flusher_stop_ = true;
  }
  flusher_wake_.notify_all();
  flusher_.join();
}

void OperateDB::RunFlusher() {
  std::unique_lock<std::mutex> lock(flusher_lock_);
  while (!flusher_wake_.wait_for(lock, std::chrono::milliseconds(kFlushPeriodMs),
                                 [this] { return flusher_stop_; })) {
    lock.unlock();
    Flush();
    lock.lock();
  }
}
