#ifndef DAEMON_NET_EPOLL_SERVER_H
#define DAEMON_NET_EPOLL_SERVER_H

#include <stdint.h>
#include <sys/epoll.h>

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

class EpollServer;

// What OnEvent gets: the events to handle, and a mask the callback may set to have those
// events faked for it on the next iteration.
struct EpollEvent {
  explicit EpollEvent(int events) : in_events(events), out_ready_mask(0) {}

  int in_events;
  int out_ready_mask;
};

// Implemented by everything that lives on the loop.
class EpollCallback {
 public:
  virtual void OnRegistration(EpollServer* eps, int fd, int event_mask) = 0;
  virtual void OnModification(int fd, int event_mask) = 0;
  virtual void OnEvent(int fd, EpollEvent* event) = 0;
  // `replaced` is true when another callback took over the descriptor.
  virtual void OnUnregistration(int fd, bool replaced) = 0;
  virtual void OnShutdown(EpollServer* eps, int fd) = 0;
  virtual ~EpollCallback() {}
};

// Names one registered alarm. A token whose alarm has fired or was unregistered names nothing,
// so handing it to UnregisterAlarm is harmless.
class AlarmToken {
 public:
  AlarmToken() = default;

  int64_t time_in_us() const { return time_in_us_; }

 private:
  friend class EpollServer;
  AlarmToken(int64_t time_in_us, uint64_t sequence)
      : time_in_us_(time_in_us), sequence_(sequence) {}

  int64_t time_in_us_ = 0;
  uint64_t sequence_ = 0;  // 0 names nothing
};

class AlarmCallback {
 public:
  // Returns the absolute time (microseconds) at which to run again; 0 or less for never.
  virtual int64_t OnAlarm() = 0;
  virtual void OnRegistration(const AlarmToken& token, EpollServer* eps) = 0;
  virtual void OnUnregistration() = 0;
  virtual void OnShutdown(EpollServer* eps) = 0;
  virtual ~AlarmCallback() {}
};

// The loop's own callback for the read end of its wake pipe: drains it.
class WakeCallback : public EpollCallback {
 public:
  void OnRegistration(EpollServer*, int, int) override {}
  void OnModification(int, int) override {}
  void OnEvent(int fd, EpollEvent* event) override;
  void OnUnregistration(int, bool) override {}
  void OnShutdown(EpollServer*, int) override {}
};

// Single-threaded epoll loop with a ready list and alarms. Every operation but Wake must run on
// the thread that runs the loop.
class EpollServer {
 public:
  explicit EpollServer(int max_fd_size);
  virtual ~EpollServer();

  EpollServer(const EpollServer&) = delete;
  EpollServer& operator=(const EpollServer&) = delete;

  // Registers `cb` for `fd`, replacing a live callback (which gets OnUnregistration(fd, true)).
  // The record is kept even when epoll refuses the descriptor.
  virtual void RegisterFD(int fd, EpollCallback* cb, int event_mask);
  // Registers only when epoll takes the descriptor (and the limit allows it).
  virtual bool TryRegisterFD(int fd, EpollCallback* cb, int event_mask);
  // TryRegisterFD for a descriptor made non-blocking when it was created (accept4 with
  // SOCK_NONBLOCK): the flags are not read again.
  bool TryRegisterNonBlockingFD(int fd, EpollCallback* cb, int event_mask);
  virtual void RegisterFDForWrite(int fd, EpollCallback* cb);
  virtual void RegisterFDForReadWrite(int fd, EpollCallback* cb);
  virtual void RegisterFDForRead(int fd, EpollCallback* cb);
  // Safe inside the descriptor's own OnEvent: the record then goes away after it returns.
  virtual void UnregisterFD(int fd);
  virtual void ModifyCallback(int fd, int event_mask);
  virtual void StopRead(int fd);
  virtual void StartRead(int fd);
  virtual void StopWrite(int fd);
  virtual void StartWrite(int fd);
  // One iteration: wait, then run the ready callbacks and the due alarms.
  virtual void WaitForEventsAndExecuteCallbacks();
  // Runs the descriptor's callback with `events_to_fake` on the next pass, epoll or not. Two
  // requests before that pass add up.
  virtual void SetFDReady(int fd, int events_to_fake);
  virtual void SetFDNotReady(int fd);
  virtual bool IsFDReady(int fd) const;
  // A callback already registered is refused (logged as "Alarm already exists"): it holds one
  // token, so a second entry could outlive it.
  virtual void RegisterAlarm(int64_t timeout_time_in_us, AlarmCallback* ac);
  virtual void UnregisterAlarm(const AlarmToken& token);
  // Registered descriptors, the wake pipe not counted.
  virtual int NumFDsRegistered() const;
  // The one operation any thread may call: makes the current or next wait return at once.
  virtual void Wake();
  virtual int64_t NowInUsec() const;
  // The time taken after the last wait while inside an iteration, else the current time.
  virtual int64_t ApproximateNowInUsec() const;
  virtual int GetFlags(int fd);
  virtual void SetNonblocking(int fd);

  void set_timeout_in_us(int64_t timeout_in_us) { timeout_in_us_ = timeout_in_us; }
  int64_t timeout_in_us() const { return timeout_in_us_; }

  // Names of the EPOLL* bits set in `mask`, each followed by a blank.
  static std::string EventMaskToString(int mask);

 protected:
  virtual int EpollWaitImpl(int epfd, struct epoll_event* events, int max_events, int timeout_ms);
  virtual void DelFD(int fd);
  virtual bool AddFD(int fd, int event_mask);
  virtual void ModFD(int fd, int event_mask);
  virtual void ModifyFD(int fd, int remove_event, int add_event);
  virtual void WaitForEventsAndCallHandleEvents(int64_t timeout_in_us, struct epoll_event* events,
                                                int events_size);
  virtual void CallAndReregisterAlarmEvents();

 private:
  bool TryRegister(int fd, EpollCallback* cb, int event_mask, bool set_non_blocking);

  struct CallbackRecord {
    EpollCallback* cb;  // null once unregistered while its own callback runs
    CallbackRecord* next;
    CallbackRecord** prev_next;  // null when not on a list
    int fd;
    int event_mask;
    int events_asserted;
    int events_to_fake;
    bool in_use;
  };

  // Alarms are ordered by time; equal times keep their registration order through the
  // sequence number, which also lets a stale token find nothing.
  struct AlarmKey {
    int64_t time_in_us;
    uint64_t sequence;
    bool operator<(const AlarmKey& o) const {
      return time_in_us != o.time_in_us ? time_in_us < o.time_in_us : sequence < o.sequence;
    }
  };

  static const int kEventsSize = 256;

  void HandleEvent(int fd, int event_mask);
  void CallReadyListCallbacks();
  void AddToReadyList(CallbackRecord* record);
  void RemoveFromReadyList(CallbackRecord* record);
  // Adds to the events a record will be called with: merged while it waits on the ready list.
  void FakeEvents(CallbackRecord* record, int events);
  // Unlinks the record before dropping it, so no list keeps a pointer into freed memory.
  void EraseRecord(int fd);
  void CleanupFDToCBMap();
  void CleanupTimeToAlarmCBMap();

  int epoll_fd_;
  std::unordered_map<int, CallbackRecord> cb_map_;
  std::unordered_set<AlarmCallback*> all_alarms_;
  std::map<AlarmKey, AlarmCallback*> alarm_map_;
  int64_t timeout_in_us_ = 0;
  int64_t recorded_now_in_us_ = 0;
  std::unordered_set<AlarmCallback*> alarms_reregistered_;
  CallbackRecord* ready_list_ = nullptr;
  CallbackRecord* tmp_list_ = nullptr;
  int ready_list_size_ = 0;
  struct epoll_event events_[kEventsSize];
  std::unique_ptr<WakeCallback> wake_cb_;
  int read_fd_ = -1;
  int write_fd_ = -1;
  bool in_wait_ = false;
  int max_fd_size_;
  int reg_fd_size_ = 0;
  uint64_t next_alarm_sequence_ = 0;
};

#endif  // DAEMON_NET_EPOLL_SERVER_H
