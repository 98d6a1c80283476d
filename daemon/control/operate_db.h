#ifndef DAEMON_CONTROL_OPERATE_DB_H
#define DAEMON_CONTROL_OPERATE_DB_H

#include <stdint.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// Sums of the flow table's counts: bytes sent and received by applications, and the gateway's
// sizes before and after compression.
struct FlowTotals {
  int64_t up = 0;
  int64_t down = 0;
  int64_t uncompressed = 0;
  int64_t compressed = 0;
};

// The same sums for one application.
struct AppFlowTotals {
  int uid = -1;
  FlowTotals flow;
};

// The traffic statistics in SQLite, table "flow": one row per UID, day number and SIM id that
// the writes add to. Statements run one at a time under one lock; the proxy's thread writes and
// the control thread reads. The file is in WAL mode with synchronous=NORMAL: a commit is safe
// from a crash of the daemon without waiting for the disk.
class OperateDB {
 public:
  typedef int (*RowCallback)(void* arg, int columns, char** values, char** names);

  // The file named by HTTP2QUORVIN_DB, else the application's cache folder.
  static std::string DefaultPath();

  OperateDB();
  explicit OperateDB(const std::string& path);
  virtual ~OperateDB();

  OperateDB(const OperateDB&) = delete;
  OperateDB& operator=(const OperateDB&) = delete;

  // Opens (creating if needed) the file and the table. Opening an open database keeps it.
  // 0, or -1.
  int CreateDB();
  // 0 (also when it was not open), or -1 when SQLite refuses to close it.
  int CloseDB();
  // Deletes the rows of CLEAR_INTERVAL days ago and older. 0, or -1.
  int ClearDB(int today);
  // Adds `bytes` sent (up) or received by application `uid` on `day`. 0, or -1.
  int WriteDB(int uid, int day, bool up, long bytes);
  // Adds the sizes of one compressed reply. 0, or -1.
  int WriteCompressedDB(int uid, int day, int uncompressed, int compressed);
  // The traffic reports' figures: summed in memory per UID, day and SIM id, and written in one
  // transaction at most kFlushPeriodMs later by a thread of the database's own, so that the
  // proxy's loop never waits for SQLite. The rows they make are the ones WriteDB and
  // WriteCompressedDB would make. ReadDB, ReaddetailDB, ClearDB, sqliteExecLock and CloseDB
  // write what is pending first, so they see every figure added before them.
  void AddFlow(int uid, int day, bool up, long bytes);
  void AddCompressed(int uid, int day, int uncompressed, int compressed);
  // Writes the pending figures now. 0 (also with nothing pending), or -1: they stay pending.
  int Flush();
  static const int kFlushPeriodMs = 500;

  // Adds the rows of days [begin, end] under `simid` to *out. 0, or -1.
  int ReadDB(FlowTotals* out, int begin, int end, const char* simid);
  // Adds the same rows per UID: to the entry of its UID in *out, or to a new entry at the end
  // (in the order the UIDs first appear). Rows of unknown applications are UID -1's. 0, or -1.
  int ReaddetailDB(std::vector<AppFlowTotals>* out, int begin, int end, const char* simid);
  // The SIM id the writes file their figures under (empty until set).
  void SetSimId(const char* simid);
  std::string sim_id();

  // Runs free SQL text. The SQLite result code, or -1 without a database or SQL.
  int sqliteExecLock(const char* sql, RowCallback callback, void* arg);

  const std::string& path() const { return path_; }

 private:
  enum Statement {
    kSelectKey,
    kInsert,
    kUpdateUp,
    kUpdateDown,
    kUpdateCompressed,
    kUpdateAll,
    kSelectRange,
    kSelectRangeDetail,
    kClear,
    kStatementCount
  };

  struct PendingKey {
    int uid;
    int day;
    std::string sim;
    bool operator<(const PendingKey& o) const {
      if (uid != o.uid)
        return uid < o.uid;
      if (day != o.day)
        return day < o.day;
      return sim < o.sim;
    }
  };
  // Keys in the order of their first figure, so that rows are made in the order reports came.
  struct Pending {
    std::vector<std::pair<PendingKey, FlowTotals>> entries;
    std::map<PendingKey, size_t> index;
    void Add(const PendingKey& key, const FlowTotals& add);
  };

  // Runs `stmt` to its end with the lock held, calling `row` for each result row. The SQLite
  // result of the last step (SQLITE_DONE on success).
  template <typename RowFn>
  int StepLocked(sqlite3_stmt* stmt, RowFn row);
  int ExecLocked(const char* sql, RowCallback callback, void* arg);
  int PrepareLocked();
  void FinalizeLocked();
  int AddLocked(int uid, int day, const std::string& sim, const FlowTotals& add, Statement update);
  void AddPending(int uid, int day, const FlowTotals& add);
  int FlushLocked();
  void StartFlusher();
  void StopFlusher();
  void RunFlusher();

  std::string path_;
  sqlite3* handle_ = nullptr;
  std::mutex lock_;  // the handle and its statements
  sqlite3_stmt* statements_[kStatementCount] = {};

  // Taken after lock_ when both are needed, never before it.
  std::mutex pending_lock_;
  std::string sim_id_;
  Pending pending_;

  std::mutex flusher_lock_;
  std::condition_variable flusher_wake_;
  bool flusher_stop_ = false;
  std::thread flusher_;
};

#endif  // DAEMON_CONTROL_OPERATE_DB_H
