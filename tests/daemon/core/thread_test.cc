#include "core/thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

class CountingThread : public Thread {
 public:
  CountingThread() : Thread("CountingThread") {}
  void Run() override { runs.fetch_add(1); }
  std::atomic<int> runs{0};
};

TEST(ThreadTest, RunsOnceAndJoins) {
  CountingThread t;
  EXPECT_EQ("CountingThread", t.name());
  EXPECT_EQ("", t.full_name());
  EXPECT_FALSE(t.started());
  ASSERT_TRUE(t.Start());
  EXPECT_TRUE(t.started());
  EXPECT_EQ(0u, t.full_name().find("CountingThread/"));
  EXPECT_FALSE(t.Start());  // one POSIX thread per object
  t.Join();
  EXPECT_TRUE(t.joined());
  EXPECT_EQ(1, t.runs.load());
  t.Join();  // a second join must not touch the finished handle
}

TEST(ThreadTest, JoinWithoutStartDoesNothing) {
  CountingThread t;
  t.Join();
  EXPECT_FALSE(t.joined());
  EXPECT_EQ(0, t.runs.load());
}

}  // namespace
