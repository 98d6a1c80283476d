#include "net/epoll_server.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/net/descriptor_helper.h"
#include "daemon/net/log_lines_helper.h"

namespace {

using ::testing::ElementsAre;

const char kLoopTag[] = "epoll_server";

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    r = fds[0];
    w = fds[1];
  }
  ~Pipe() {
    close(r);
    close(w);
  }
  void Put(const char* s = "x") const { ASSERT_EQ(1, write(w, s, 1)); }
  void Drain() const {
    char buf[64];
    while (read(r, buf, sizeof(buf)) > 0) {
    }
  }
  int r;
  int w;
};

// Notes every call in a journal shared by several callbacks, so orderings can be checked.
class Recorder : public EpollCallback {
 public:
  Recorder(const std::string& name, std::vector<std::string>* journal)
      : name_(name), journal_(journal) {}

  void OnRegistration(EpollServer*, int, int event_mask) override {
    Note("reg " + std::to_string(event_mask));
  }
  void OnModification(int, int event_mask) override { Note("mod " + std::to_string(event_mask)); }
  void OnEvent(int fd, EpollEvent* event) override {
    events.push_back(event->in_events);
    Note("event " + std::to_string(event->in_events));
    if (on_event)
      on_event(fd, event);
  }
  void OnUnregistration(int, bool replaced) override {
    Note(replaced ? "unreg replaced" : "unreg");
  }
  void OnShutdown(EpollServer* eps, int fd) override {
    Note("shutdown");
    if (on_shutdown)
      on_shutdown(eps, fd);
  }

  std::function<void(int, EpollEvent*)> on_event;
  std::function<void(EpollServer*, int)> on_shutdown;
  std::vector<int> events;

 private:
  void Note(const std::string& what) { journal_->push_back(name_ + " " + what); }

  std::string name_;
  std::vector<std::string>* journal_;
};

class RecordingAlarm : public AlarmCallback {
 public:
  RecordingAlarm(const std::string& name, std::vector<std::string>* journal)
      : name_(name), journal_(journal) {}

  int64_t OnAlarm() override {
    ++fired;
    journal_->push_back(name_ + " alarm");
    if (on_alarm)
      return on_alarm();
    return 0;
  }
  void OnRegistration(const AlarmToken& t, EpollServer*) override {
    token = t;
    ++registrations;
  }
  void OnUnregistration() override { journal_->push_back(name_ + " unreg"); }
  void OnShutdown(EpollServer*) override { journal_->push_back(name_ + " shutdown"); }

  std::function<int64_t()> on_alarm;
  AlarmToken token;
  int fired = 0;
  int registrations = 0;

 private:
  std::string name_;
  std::vector<std::string>* journal_;
};

// A loop whose clock can be fixed and whose waits are observed. Waits really poll epoll, but
// never block unless `block` is set.
class ProbeServer : public EpollServer {
 public:
  explicit ProbeServer(int max_fd_size = 64) : EpollServer(max_fd_size) {}

  int64_t NowInUsec() const override { return fake_now != 0 ? fake_now : EpollServer::NowInUsec(); }

  std::vector<int> wait_ms;       // time-out handed to every epoll_wait
  std::vector<int> reported_fds;  // descriptors of the last wait, in the order reported
  int64_t fake_now = 0;
  bool block = false;

 protected:
  int EpollWaitImpl(int epfd, struct epoll_event* events, int max_events, int timeout_ms) override {
    wait_ms.push_back(timeout_ms);
    const int n = EpollServer::EpollWaitImpl(epfd, events, max_events, block ? timeout_ms : 0);
    reported_fds.clear();
    for (int i = 0; i < n; ++i)
      reported_fds.push_back(events[i].data.fd);
    return n;
  }
};

int CountOpenFds() {
  int n = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr)
    return -1;
  while (struct dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.')
      ++n;
  }
  closedir(dir);
  return n;
}

TEST(EpollServerTest, WaitTimeoutIsConvertedToMilliseconds) {
  ProbeServer eps;
  for (int64_t us : {0, 1, 999, 1000, 1999, 100000}) {
    eps.set_timeout_in_us(us);
    eps.WaitForEventsAndExecuteCallbacks();
  }
  // Absurdly long waits are capped rather than wrapped into negative (endless) ones.
  eps.set_timeout_in_us(INT64_MAX);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(eps.wait_ms, ElementsAre(0, 1, 1, 1, 1, 100, INT32_MAX));

  testing::internal::CaptureStderr();
  eps.set_timeout_in_us(-5);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kLoopTag),
              ElementsAre("Negative epoll timeout: -5 us; epoll will wait forever for events."));
  EXPECT_EQ(-1, eps.wait_ms.back());
}

TEST(EpollServerTest, NearestAlarmShortensTheWait) {
  std::vector<std::string> journal;
  RecordingAlarm alarm("a", &journal);
  ProbeServer eps;
  eps.fake_now = 10000000;
  eps.RegisterAlarm(eps.fake_now + 50000, &alarm);
  eps.set_timeout_in_us(100000);
  eps.WaitForEventsAndExecuteCallbacks();
  eps.set_timeout_in_us(20000);
  eps.WaitForEventsAndExecuteCallbacks();
  eps.set_timeout_in_us(-1);  // no limit of its own: the alarm is the limit
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(eps.wait_ms, ElementsAre(50, 20, 50));
  EXPECT_EQ(0, alarm.fired);
  eps.fake_now += 60000;  // overdue: do not wait at all
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(0, eps.wait_ms.back());
  EXPECT_EQ(1, alarm.fired);
}

TEST(EpollServerTest, SetFDReadyRunsWithoutEpollActivityAndWithoutBlocking) {
  std::vector<std::string> journal;
  Recorder cb("a", &journal);
  Pipe p;  // never written: epoll has nothing to report
  ProbeServer eps;
  eps.RegisterFD(p.r, &cb, EPOLLIN);
  eps.set_timeout_in_us(10000000);

  EXPECT_FALSE(eps.IsFDReady(p.r));
  eps.SetFDReady(p.r, EPOLLIN);
  EXPECT_TRUE(eps.IsFDReady(p.r));
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(cb.events, ElementsAre(EPOLLIN));
  EXPECT_EQ(0, eps.wait_ms.back());
  EXPECT_FALSE(eps.IsFDReady(p.r));

  // Called once only; the next wait blocks again.
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1u, cb.events.size());
  EXPECT_EQ(10000, eps.wait_ms.back());

  // Withdrawn before the pass: not called, and the withdrawn events do not linger.
  eps.SetFDReady(p.r, EPOLLOUT);
  eps.SetFDNotReady(p.r);
  EXPECT_FALSE(eps.IsFDReady(p.r));
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1u, cb.events.size());
  p.Put();
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(cb.events, ElementsAre(EPOLLIN, EPOLLIN));

  // Unknown descriptors are ignored.
  eps.SetFDReady(p.w, EPOLLIN);
  EXPECT_FALSE(eps.IsFDReady(p.w));
}

TEST(EpollServerTest, TwoReadyRequestsBeforeThePassAddUp) {
  // A connection asked to read again and to write in the same pass must get both.
  std::vector<std::string> journal;
  Recorder cb("a", &journal);
  Pipe p;
  ProbeServer eps;
  eps.RegisterFD(p.r, &cb, EPOLLIN);
  eps.SetFDReady(p.r, EPOLLIN);
  eps.SetFDReady(p.r, EPOLLOUT);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(cb.events, ElementsAre(EPOLLIN | EPOLLOUT));

  // Faked events join what epoll reports.
  p.Put();
  eps.SetFDReady(p.r, EPOLLOUT);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(EPOLLIN | EPOLLOUT, cb.events.back());
}

TEST(EpollServerTest, OutReadyMaskIsDeliveredOnTheNextIteration) {
  std::vector<std::string> journal;
  Recorder cb("a", &journal);
  Pipe p;
  ProbeServer eps;
  eps.RegisterFD(p.r, &cb, EPOLLIN);
  int calls = 0;
  cb.on_event = [&](int, EpollEvent* ev) {
    if (++calls == 1)
      ev->out_ready_mask = EPOLLOUT;
  };
  eps.set_timeout_in_us(5000000);
  eps.SetFDReady(p.r, EPOLLIN);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(eps.IsFDReady(p.r));
  eps.WaitForEventsAndExecuteCallbacks();
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(cb.events, ElementsAre(EPOLLIN, EPOLLOUT));
  EXPECT_THAT(eps.wait_ms, ElementsAre(0, 0, 5000));
}

TEST(EpollServerTest, CallbackUnregisteringItselfIsErasedAfterItReturns) {
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Recorder b("b", &journal);
  Pipe p;
  p.Put();
  ProbeServer eps;
  eps.RegisterFD(p.r, &a, EPOLLIN);
  EXPECT_EQ(1, eps.NumFDsRegistered());
  a.on_event = [&](int fd, EpollEvent* ev) {
    eps.UnregisterFD(fd);
    journal.push_back("a returns");
    ev->out_ready_mask = EPOLLIN;  // ignored: the record is gone
  };
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(journal, ElementsAre("a reg 1", "a event 1", "a unreg", "a returns"));
  EXPECT_EQ(0, eps.NumFDsRegistered());
  EXPECT_FALSE(eps.IsFDReady(p.r));

  // The byte is still in the pipe, but nobody is called for it.
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1u, a.events.size());

  eps.RegisterFD(p.r, &b, EPOLLIN);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(b.events, ElementsAre(EPOLLIN));
  EXPECT_EQ(1, eps.NumFDsRegistered());
}

TEST(EpollServerTest, DescriptorCanBeTakenOverInsideTheCallbackThatLetItGo) {
  // An fd number closed and reused within one callback must not lose the new registration.
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Recorder b("b", &journal);
  Recorder c("c", &journal);
  Pipe p;
  Pipe q;
  p.Put();
  ProbeServer eps(3);
  eps.RegisterFD(p.r, &a, EPOLLIN);
  bool took = false;
  a.on_event = [&](int fd, EpollEvent*) {
    eps.UnregisterFD(fd);
    took = eps.TryRegisterFD(fd, &b, EPOLLIN);
  };
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(took);
  EXPECT_EQ(1, eps.NumFDsRegistered());
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(b.events, ElementsAre(EPOLLIN));
  EXPECT_EQ(1u, a.events.size());
  // The count followed: one slot of the three is still free besides the wake pipe and p.
  EXPECT_TRUE(eps.TryRegisterFD(q.r, &c, EPOLLIN));
}

TEST(EpollServerTest, CallbackUnregisteringAnotherReadyOneStopsItsCall) {
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Recorder b("b", &journal);
  Pipe pa;
  Pipe pb;
  pa.Put();
  pb.Put();
  ProbeServer eps;
  eps.RegisterFD(pa.r, &a, EPOLLIN);
  eps.RegisterFD(pb.r, &b, EPOLLIN);
  // Whichever runs first unregisters the other.
  a.on_event = [&](int, EpollEvent*) { eps.UnregisterFD(pb.r); };
  b.on_event = [&](int, EpollEvent*) { eps.UnregisterFD(pa.r); };
  eps.WaitForEventsAndExecuteCallbacks();
  ASSERT_EQ(2u, eps.reported_fds.size());
  EXPECT_EQ(1u, a.events.size() + b.events.size());
  const bool a_ran = a.events.size() == 1;
  EXPECT_EQ(
      std::vector<std::string>({a_ran ? "a event 1" : "b event 1", a_ran ? "b unreg" : "a unreg"}),
      std::vector<std::string>(journal.end() - 2, journal.end()));
  EXPECT_EQ(1, eps.NumFDsRegistered());
}

TEST(EpollServerTest, ReplacingALiveRegistration) {
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Recorder b("b", &journal);
  Recorder c("c", &journal);
  Pipe p;
  Pipe q;
  ProbeServer eps(3);
  eps.RegisterFD(p.r, &a, EPOLLIN);
  eps.SetFDReady(p.r, EPOLLOUT);
  eps.RegisterFD(p.r, &b, EPOLLIN);
  EXPECT_THAT(journal, ElementsAre("a reg 1", "a unreg replaced", "b reg 1"));
  EXPECT_FALSE(eps.IsFDReady(p.r));  // the old callback's readiness went with it
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(a.events.empty());
  EXPECT_TRUE(b.events.empty());
  p.Put();
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(a.events.empty());
  EXPECT_THAT(b.events, ElementsAre(EPOLLIN));
  EXPECT_EQ(1, eps.NumFDsRegistered());

  // Replacing does not use up the limit: after many replacements a new descriptor still fits
  // (3 = wake pipe + p + one more).
  for (int i = 0; i < 10; ++i)
    eps.RegisterFD(p.r, i % 2 ? &a : &b, EPOLLIN);
  EXPECT_TRUE(eps.TryRegisterFD(q.r, &c, EPOLLIN));
}

TEST(EpollServerTest, LimitCountsTheWakePipe) {
  std::vector<std::string> journal;
  Pipe pipes[4];
  Recorder cbs[4] = {{"0", &journal}, {"1", &journal}, {"2", &journal}, {"3", &journal}};
  ProbeServer eps(4);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(eps.TryRegisterFD(pipes[i].r, &cbs[i], EPOLLIN));
  journal.clear();
  testing::internal::CaptureStderr();
  EXPECT_FALSE(eps.TryRegisterFD(pipes[3].r, &cbs[3], EPOLLIN));
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kLoopTag),
              ElementsAre("max fd reached 4"));
  EXPECT_TRUE(journal.empty());  // no OnRegistration for a refused descriptor
  EXPECT_EQ(3, eps.NumFDsRegistered());

  eps.UnregisterFD(pipes[0].r);
  EXPECT_TRUE(eps.TryRegisterFD(pipes[3].r, &cbs[3], EPOLLIN));

  // RegisterFD keeps the record although epoll was not told: it still runs when made ready.
  testing::internal::CaptureStderr();
  eps.RegisterFD(pipes[0].r, &cbs[0], EPOLLIN);
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kLoopTag),
              ElementsAre("max fd reached 4"));
  EXPECT_EQ(4, eps.NumFDsRegistered());
  pipes[0].Put();
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(cbs[0].events.empty());
  eps.SetFDReady(pipes[0].r, EPOLLIN);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(cbs[0].events, ElementsAre(EPOLLIN));
}

TEST(EpollServerTest, ReadyCallbacksRunInReverseOfTheirReportOrder) {
  std::vector<std::string> journal;
  Pipe pipes[3];
  Recorder cbs[3] = {{"0", &journal}, {"1", &journal}, {"2", &journal}};
  std::vector<int> called;
  ProbeServer eps;
  for (int i = 0; i < 3; ++i) {
    eps.RegisterFD(pipes[i].r, &cbs[i], EPOLLIN);
    cbs[i].on_event = [&](int fd, EpollEvent*) { called.push_back(fd); };
    pipes[i].Put();
  }
  eps.WaitForEventsAndExecuteCallbacks();
  ASSERT_EQ(3u, eps.reported_fds.size());
  std::vector<int> expected(eps.reported_fds.rbegin(), eps.reported_fds.rend());
  EXPECT_EQ(expected, called);

  // SetFDReady marks run in reverse too.
  called.clear();
  for (auto& p : pipes)
    p.Drain();
  eps.SetFDReady(pipes[1].r, EPOLLIN);
  eps.SetFDReady(pipes[2].r, EPOLLIN);
  eps.SetFDReady(pipes[0].r, EPOLLIN);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(std::vector<int>({pipes[0].r, pipes[2].r, pipes[1].r}), called);
}

TEST(EpollServerTest, MarksMadeDuringAPassRunInTheNextOne) {
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Recorder b("b", &journal);
  Pipe pa;
  Pipe pb;
  ProbeServer eps;
  eps.RegisterFD(pa.r, &a, EPOLLIN);
  eps.RegisterFD(pb.r, &b, EPOLLIN);
  a.on_event = [&](int, EpollEvent*) { eps.SetFDReady(pb.r, EPOLLOUT); };
  eps.SetFDReady(pa.r, EPOLLIN);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(b.events.empty());
  EXPECT_TRUE(eps.IsFDReady(pb.r));
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(b.events, ElementsAre(EPOLLOUT));
}

TEST(EpollServerTest, ModifyingTheEventMask) {
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  ProbeServer eps;
  eps.RegisterFD(sv[0], &a, EPOLLIN);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(a.events.empty());  // writable, but nobody asked

  eps.StartWrite(sv[0]);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(a.events, ElementsAre(EPOLLOUT));
  eps.StopWrite(sv[0]);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1u, a.events.size());
  eps.ModifyCallback(sv[0], EPOLLOUT);
  ASSERT_EQ(1, write(sv[1], "x", 1));
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(EPOLLOUT, a.events.back());  // EPOLLIN was replaced
  eps.StartRead(sv[0]);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(EPOLLIN | EPOLLOUT, a.events.back());
  EXPECT_EQ(std::vector<std::string>({"a reg 1", "a mod 5", "a event 4", "a mod 1", "a mod 4",
                                      "a event 4", "a mod 5", "a event 5"}),
            journal);

  testing::internal::CaptureStderr();
  eps.StartWrite(sv[1]);
  EXPECT_THAT(
      LogMessages(testing::internal::GetCapturedStderr(), 'W', kLoopTag),
      ElementsAre("Didn't find the fd " + std::to_string(sv[1]) + " in internal structures"));
  close(sv[0]);
  close(sv[1]);
}

TEST(EpollServerTest, RegistrationMakesTheDescriptorNonBlocking) {
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Recorder b("b", &journal);
  Pipe p;
  ASSERT_EQ(0, fcntl(p.r, F_GETFL) & O_NONBLOCK);
  EpollServer eps(16);
  eps.RegisterFDForRead(p.r, &a);
  EXPECT_NE(0, fcntl(p.r, F_GETFL) & O_NONBLOCK);

  // A descriptor that is not open: the flag read fails, and the warning says so.
  const int closed_fd = 999999;
  testing::internal::CaptureStderr();
  eps.RegisterFDForReadWrite(closed_fd, &b);
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kLoopTag),
              ElementsAre("Error 9 doing fcntl(" + std::to_string(closed_fd) +
                          ", F_GETFL, 0): Bad file descriptor"));
  eps.UnregisterFD(closed_fd);
}

TEST(EpollServerTest, NestedWaitIsRefused) {
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Recorder b("b", &journal);
  Pipe pa;
  Pipe pb;
  ProbeServer eps;
  eps.RegisterFD(pa.r, &a, EPOLLIN);
  eps.RegisterFD(pb.r, &b, EPOLLIN);
  a.on_event = [&](int, EpollEvent*) { eps.WaitForEventsAndExecuteCallbacks(); };
  eps.SetFDReady(pa.r, EPOLLIN);
  eps.WaitForEventsAndExecuteCallbacks();
  pb.Put();
  eps.SetFDReady(pa.r, EPOLLIN);
  testing::internal::CaptureStderr();
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kLoopTag),
              ElementsAre("Attempting to call WaitForEventsAndExecuteCallbacks when an ancestor "
                          "to the current function is already "
                          "WaitForEventsAndExecuteCallbacks!"));
  EXPECT_EQ(2u, a.events.size());
  EXPECT_EQ(1u, b.events.size());     // from the outer pass only
  EXPECT_EQ(2u, eps.wait_ms.size());  // the refused call did not wait
}

TEST(EpollServerTest, AlarmsDueWithinTheNextMillisecondsFireInThisPass) {
  std::vector<std::string> journal;
  RecordingAlarm a("a", &journal), b("b", &journal), c("c", &journal), d("d", &journal);
  const int64_t now = 50000000;  // on a millisecond boundary
  ProbeServer eps;
  eps.fake_now = now;
  eps.RegisterAlarm(now + 1500, &a);
  eps.RegisterAlarm(now + 2000, &c);
  eps.RegisterAlarm(now + 1999, &b);
  eps.RegisterAlarm(now - 5, &d);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(journal, ElementsAre("d alarm", "a alarm", "b alarm"));
  eps.fake_now = now + 999;  // same millisecond grid: c is still outside the window
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(0, c.fired);
  eps.fake_now = now + 1000;
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1, c.fired);
  EXPECT_EQ(1, a.fired);
}

TEST(EpollServerTest, WindowFollowsTheMillisecondOfTheRecordedTime) {
  std::vector<std::string> journal;
  RecordingAlarm a("a", &journal), b("b", &journal);
  const int64_t now = 50000999;  // late in its millisecond
  ProbeServer eps;
  eps.fake_now = now;
  eps.RegisterAlarm(now + 1000, &a);  // 50001999: the last microsecond of the window
  eps.RegisterAlarm(now + 1001, &b);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1, a.fired);
  EXPECT_EQ(0, b.fired);
}

TEST(EpollServerTest, EqualAlarmTimesFireInRegistrationOrder) {
  std::vector<std::string> journal;
  RecordingAlarm a("a", &journal), b("b", &journal), c("c", &journal);
  ProbeServer eps;
  eps.fake_now = 7000000;
  eps.RegisterAlarm(7000100, &b);
  eps.RegisterAlarm(7000100, &a);
  eps.RegisterAlarm(7000100, &c);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(journal, ElementsAre("b alarm", "a alarm", "c alarm"));
}

TEST(EpollServerTest, DueReregisteredAlarmWaitsForTheNextPass) {
  std::vector<std::string> journal;
  RecordingAlarm a("a", &journal);
  RecordingAlarm later("later", &journal);
  ProbeServer eps;
  eps.fake_now = 9000000;
  a.on_alarm = [&]() -> int64_t { return a.fired < 2 ? eps.fake_now : 0; };
  eps.RegisterAlarm(eps.fake_now, &a);
  eps.RegisterAlarm(eps.fake_now + 100, &later);  // after a in the walk

  testing::internal::CaptureStderr();
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kLoopTag),
              ElementsAre("Reregistering alarm"));
  EXPECT_THAT(journal, ElementsAre("a alarm", "later alarm"));
  EXPECT_EQ(2, a.registrations);

  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(2, a.fired);
  // Returned 0: dropped without OnUnregistration, and never called again.
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(2, a.fired);
  EXPECT_THAT(journal, ElementsAre("a alarm", "later alarm", "a alarm"));
}

TEST(EpollServerTest, AlarmReregisteredForLaterWaits) {
  std::vector<std::string> journal;
  RecordingAlarm a("a", &journal);
  ProbeServer eps;
  eps.fake_now = 9000000;
  a.on_alarm = [&]() -> int64_t { return a.fired == 1 ? eps.fake_now + 10000 : 0; };
  eps.RegisterAlarm(eps.fake_now, &a);
  eps.set_timeout_in_us(100000);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(10000 + eps.fake_now, a.token.time_in_us());
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1, a.fired);
  EXPECT_EQ(10, eps.wait_ms.back());
  eps.fake_now += 10000;
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(2, a.fired);
}

TEST(EpollServerTest, UnregisteringAlarms) {
  std::vector<std::string> journal;
  RecordingAlarm a("a", &journal), b("b", &journal), c("c", &journal);
  ProbeServer eps;
  eps.fake_now = 3000000;
  eps.RegisterAlarm(eps.fake_now + 10, &a);
  eps.UnregisterAlarm(a.token);
  EXPECT_THAT(journal, ElementsAre("a unreg"));

  // A firing alarm may unregister a later due one, and itself with its own (now stale) token.
  eps.RegisterAlarm(eps.fake_now + 10, &b);
  eps.RegisterAlarm(eps.fake_now + 20, &c);
  b.on_alarm = [&]() -> int64_t {
    eps.UnregisterAlarm(c.token);
    eps.UnregisterAlarm(b.token);
    return 0;
  };
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(journal, ElementsAre("a unreg", "b alarm", "c unreg"));
  EXPECT_EQ(0, a.fired);
  EXPECT_EQ(0, c.fired);

  // Tokens of alarms that are gone name nothing.
  eps.UnregisterAlarm(b.token);
  eps.UnregisterAlarm(AlarmToken());
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(3u, journal.size());
}

TEST(EpollServerTest, SecondRegistrationOfAnAlarmIsRefused) {
  ScopedLogLevel debug(2);
  std::vector<std::string> journal;
  RecordingAlarm a("a", &journal);
  ProbeServer eps;
  eps.fake_now = 3000000;
  eps.RegisterAlarm(eps.fake_now + 10, &a);
  testing::internal::CaptureStderr();
  eps.RegisterAlarm(eps.fake_now + 20, &a);
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'D', kLoopTag),
              ElementsAre("Alarm already exists"));
  EXPECT_EQ(1, a.registrations);
  EXPECT_EQ(eps.fake_now + 10, a.token.time_in_us());
  eps.WaitForEventsAndExecuteCallbacks();
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1, a.fired);
  // Once fired it may be registered again.
  eps.RegisterAlarm(eps.fake_now + 10, &a);
  EXPECT_EQ(2, a.registrations);
}

TEST(EpollServerTest, WakeFromAnotherThreadEndsALongWait) {
  ProbeServer eps;
  eps.block = true;
  eps.set_timeout_in_us(60 * 1000000LL);
  std::thread waker([&eps] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    eps.Wake();
  });
  const auto start = std::chrono::steady_clock::now();
  eps.WaitForEventsAndExecuteCallbacks();
  const auto waited = std::chrono::steady_clock::now() - start;
  waker.join();
  EXPECT_EQ(60000, eps.wait_ms.back());
  EXPECT_LT(waited, std::chrono::seconds(30));  // far below the minute it would otherwise take

  // The pipe was drained: nothing is reported any more.
  eps.block = false;
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(eps.reported_fds.empty());
}

TEST(EpollServerTest, WakeNeverBlocksEvenWhenThePipeIsFull) {
  ProbeServer eps;
  for (int i = 0; i < 100000; ++i)  // well past the capacity of a pipe
    eps.Wake();
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(1u, eps.reported_fds.size());
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_TRUE(eps.reported_fds.empty());
}

TEST(EpollServerTest, DestructionShutsDownDescriptorsThenAlarms) {
  std::vector<std::string> journal;
  Pipe pipes[3];
  const int open_before = CountOpenFds();
  Recorder cbs[3] = {{"fd", &journal}, {"fd", &journal}, {"fd", &journal}};
  RecordingAlarm late("late", &journal), early("early", &journal);
  {
    ProbeServer eps;
    for (int i = 0; i < 3; ++i) {
      eps.RegisterFD(pipes[i].r, &cbs[i], EPOLLIN);
      // Like a connection: shutting down unregisters and lets go of the descriptor.
      cbs[i].on_shutdown = [](EpollServer* loop, int fd) { loop->UnregisterFD(fd); };
    }
    // Two of them wait on the ready list while the loop goes away.
    eps.SetFDReady(pipes[0].r, EPOLLIN);
    eps.SetFDReady(pipes[2].r, EPOLLOUT);
    eps.RegisterAlarm(eps.NowInUsec() + 60000000, &late);
    eps.RegisterAlarm(eps.NowInUsec() + 30000000, &early);
    journal.clear();
  }
  EXPECT_THAT(journal, ElementsAre("fd shutdown", "fd unreg", "fd shutdown", "fd unreg",
                                   "fd shutdown", "fd unreg", "early shutdown", "late shutdown"));
  for (auto& cb : cbs)
    EXPECT_TRUE(cb.events.empty());
  // The loop closed its own descriptors and none of ours.
  for (auto& p : pipes)
    EXPECT_TRUE(IsOpen(p.r));
  EXPECT_EQ(open_before, CountOpenFds());
}

TEST(EpollServerTest, WithoutAWakePipeTheLoopStillServes) {
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
  Pipe p;
  // The sanitizers' type checks probe memory through a pipe of their own; a loop built before
  // the squeeze lets them remember this type.
  delete new EpollServer(8);
  // The capture needs descriptors of its own: taken before the squeeze, read after it.
  testing::internal::CaptureStderr();
  // Leave exactly one free descriptor: enough for epoll, not for a pipe.
  struct rlimit tight = saved;
  tight.rlim_cur = std::min<rlim_t>(saved.rlim_max, static_cast<rlim_t>(p.w) + 32);
  const bool squeezed = setrlimit(RLIMIT_NOFILE, &tight) == 0;
  std::vector<int> fillers;
  int fd;
  while (squeezed && (fd = dup(p.r)) >= 0)
    fillers.push_back(fd);
  const int fill_errno = errno;
  if (!fillers.empty()) {
    close(fillers.back());
    fillers.pop_back();
  }
  auto* eps = new EpollServer(8);
  for (int filler : fillers)
    close(filler);
  setrlimit(RLIMIT_NOFILE, &saved);
  const std::vector<std::string> warnings =
      LogMessages(testing::internal::GetCapturedStderr(), 'W', kLoopTag);
  ASSERT_TRUE(squeezed);
  ASSERT_EQ(EMFILE, fill_errno);
  EXPECT_THAT(warnings, ElementsAre("Error 24 in pipe(): Too many open files"));

  EXPECT_EQ(0, eps->NumFDsRegistered());
  eps->Wake();  // nothing to write to, and nothing breaks
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  EXPECT_TRUE(eps->TryRegisterFD(p.r, &a, EPOLLIN));
  EXPECT_EQ(1, eps->NumFDsRegistered());
  p.Put();
  eps->WaitForEventsAndExecuteCallbacks();
  EXPECT_THAT(a.events, ElementsAre(EPOLLIN));
  delete eps;
  EXPECT_TRUE(IsOpen(p.r));
  EXPECT_TRUE(IsOpen(p.w));
  EXPECT_TRUE(IsOpen(0));
}

TEST(EpollServerTest, DebugLinesOfRegistrationAndModification) {
  ScopedLogLevel debug(2);
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Pipe p;
  EpollServer eps(16);
  testing::internal::CaptureStderr();
  eps.TryRegisterFD(p.r, &a, EPOLLIN);
  eps.StartWrite(p.r);
  const std::string fd = std::to_string(p.r);
  EXPECT_THAT(
      LogMessages(testing::internal::GetCapturedStderr(), 'D', kLoopTag),
      ElementsAre("cb_map_ size 2 reg_fd_size_ 2", "fd= " + fd + " event_mask before: EPOLLIN ",
                  "fd= " + fd + " event_mask after: EPOLLIN EPOLLOUT ",
                  "modifying fd= " + fd + " EPOLLIN EPOLLOUT EPOLLERR EPOLLHUP "));
}

TEST(EpollServerTest, EventMaskNames) {
  EXPECT_EQ("EPOLLIN EPOLLERR EPOLLHUP EPOLLET ", EpollServer::EventMaskToString(0x80000019));
  EXPECT_EQ("", EpollServer::EventMaskToString(0));
  EXPECT_EQ(
      "EPOLLIN EPOLLPRI EPOLLOUT EPOLLRDNORM EPOLLRDBAND EPOLLWRNORM EPOLLWRBAND EPOLLMSG "
      "EPOLLERR EPOLLHUP EPOLLET ",
      EpollServer::EventMaskToString(-1));
}

TEST(EpollServerTest, ClockIsSixtyFourBitMicroseconds) {
  const int64_t before = static_cast<int64_t>(time(nullptr));
  EpollServer eps(4);
  const int64_t now = eps.NowInUsec();
  const int64_t after = static_cast<int64_t>(time(nullptr));
  // Seconds since 1970 times a million overflow 32 bits many times over.
  EXPECT_GE(now / 1000000, before - 1);
  EXPECT_LE(now / 1000000, after + 1);
  EXPECT_GE(eps.NowInUsec(), now);
  EXPECT_GE(eps.ApproximateNowInUsec(), now);  // outside an iteration: the clock itself
}

TEST(EpollServerTest, ApproximateNowIsTheTimeRecordedAfterTheWait) {
  std::vector<std::string> journal;
  Recorder a("a", &journal);
  Pipe p;
  ProbeServer eps;
  eps.RegisterFD(p.r, &a, EPOLLIN);
  eps.fake_now = 123000000;
  int64_t seen = 0;
  a.on_event = [&](int, EpollEvent*) {
    eps.fake_now += 5000;
    seen = eps.ApproximateNowInUsec();
  };
  eps.SetFDReady(p.r, EPOLLIN);
  eps.WaitForEventsAndExecuteCallbacks();
  EXPECT_EQ(123000000, seen);
  EXPECT_EQ(123005000, eps.ApproximateNowInUsec());
}

}  // namespace
