// A process writing traffic figures is killed with SIGKILL: the database file stays sound and
// holds every figure added more than a second before the kill. QV_CRASH_RUNS sets the number of
// kills (3 by default; the durability check runs 20).
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "control/operate_db.h"
#include "port/sysutils/control_socket_util.h"

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Adds one byte at a time, as the proxy's loop does, and tells the parent its running total.
[[noreturn]] void WriteFigures(const std::string& path, int out) {
  OperateDB db(path);
  if (db.CreateDB() != 0)
    _exit(3);
  for (long long total = 1;; ++total) {
    db.AddFlow(10061, 16072, true, 1);
    if (total % 64 == 0 && write(out, &total, sizeof(total)) != sizeof(total))
      _exit(4);
    usleep(50);
  }
}

TEST(FlowCrashTest, KillNineLosesNothingOlderThanASecond) {
  const char* runs_text = getenv("QV_CRASH_RUNS");
  const int runs = runs_text != nullptr ? atoi(runs_text) : 3;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE(run);
    qvtest::ScratchDir dir;
    const std::string path = dir.File("flow.db");
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_fds[0]);
      WriteFigures(path, pipe_fds[1]);
    }
    close(pipe_fds[1]);
    std::vector<std::pair<double, long long>> told;
    long long total;
    // The clock starts at the first figure (a slow start under an emulator is no loss); runs of
    // different lengths, so that the kill meets the flusher at different points.
    ASSERT_EQ(static_cast<ssize_t>(sizeof(total)), read(pipe_fds[0], &total, sizeof(total)));
    told.emplace_back(Now(), total);
    const double kill_at = Now() + 1.2 + 0.05 * (run % 7);
    while (Now() < kill_at && read(pipe_fds[0], &total, sizeof(total)) == sizeof(total))
      told.emplace_back(Now(), total);
    ASSERT_EQ(0, kill(child, SIGKILL));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    long long reached = told.empty() ? 0 : told.back().second;
    while (read(pipe_fds[0], &total, sizeof(total)) == sizeof(total))
      reached = total;
    close(pipe_fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;
    long long due = 0;  // added more than a second before the kill
    for (const auto& t : told) {
      if (t.first <= kill_at - 1.0)
        due = t.second;
    }
    ASSERT_GT(due, 0);

    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &raw));
    std::string check;
    long long stored = -1;
    auto first = [](void* arg, int, char** v, char**) {
      *static_cast<std::string*>(arg) = v[0] != nullptr ? v[0] : "";
      return 0;
    };
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "PRAGMA integrity_check", first, &check, nullptr));
    std::string sum;
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "select total(UPFLOW) from flow", first, &sum, nullptr));
    stored = atoll(sum.c_str());
    sqlite3_close(raw);
    EXPECT_EQ("ok", check);
    EXPECT_GE(stored, due);
    EXPECT_LE(stored, reached + 64);  // and nothing twice
  }
}

}  // namespace
