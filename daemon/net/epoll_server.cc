#include "net/epoll_server.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include "core/error_text.h"
#include "core/logging.h"

namespace {

const char kTag[] = "epoll_server";

// EPOLLERR | EPOLLHUP, always asked for.
const int kAlwaysWatched = EPOLLERR | EPOLLHUP;

}  // namespace

void WakeCallback::OnEvent(int fd, EpollEvent*) {
  char data[4];
  while (read(fd, data, sizeof(data)) > 0) {
  }
}

EpollServer::EpollServer(int max_fd_size)
    : epoll_fd_(-1), wake_cb_(new WakeCallback), max_fd_size_(max_fd_size) {
  // The size is only a hint, but it must be positive.
  const int64_t size_hint = static_cast<int64_t>(max_fd_size) + 1;
  epoll_fd_ =
      epoll_create(static_cast<int>(std::min<int64_t>(std::max<int64_t>(size_hint, 1), INT_MAX)));
  memset(events_, 0, sizeof(events_));
  int fds[2];
  if (pipe(fds) != 0) {
    // Without the pipe Wake does nothing; the loop still serves descriptors and alarms.
    const int err = errno;
    QV_LOGW(kTag, "Error %d in pipe(): %s", err, ErrorText(err).c_str());
    return;
  }
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  // A full pipe already guarantees a wake-up, so Wake never has to block on it.
  const int flags = fcntl(write_fd_, F_GETFL, 0);
  if (flags != -1)
    fcntl(write_fd_, F_SETFL, flags | O_NONBLOCK);
  RegisterFD(read_fd_, wake_cb_.get(), EPOLLIN);
}

EpollServer::~EpollServer() {
  QV_LOGD(kTag, "Shutting down epoll server ");
  CleanupFDToCBMap();
  ready_list_ = nullptr;
  tmp_list_ = nullptr;
  ready_list_size_ = 0;
  CleanupTimeToAlarmCBMap();
  if (read_fd_ >= 0)
    close(read_fd_);
  if (write_fd_ >= 0)
    close(write_fd_);
  if (epoll_fd_ >= 0)
    close(epoll_fd_);
  wake_cb_.reset();
}

void EpollServer::CleanupFDToCBMap() {
  while (!cb_map_.empty()) {
    CallbackRecord* record = &cb_map_.begin()->second;
    const int fd = record->fd;
    RemoveFromReadyList(record);
    record->in_use = true;
    if (record->cb != nullptr)
      record->cb->OnShutdown(this, fd);
    EraseRecord(fd);
  }
}

void EpollServer::CleanupTimeToAlarmCBMap() {
  while (!alarm_map_.empty()) {
    AlarmCallback* ac = alarm_map_.begin()->second;
    alarm_map_.erase(alarm_map_.begin());
    all_alarms_.erase(ac);
    ac->OnShutdown(this);
  }
}

void EpollServer::RegisterFD(int fd, EpollCallback* cb, int event_mask) {
  QV_LOGD(kTag, "RegisterFD fd= %d event_mask=%d", fd, event_mask);
  auto it = cb_map_.find(fd);
  bool replaced_live = false;
  if (it != cb_map_.end() && it->second.cb != nullptr) {
    EpollCallback* old = it->second.cb;
    RemoveFromReadyList(&it->second);
    old->OnUnregistration(fd, true);
    // The old callback may have let go of the descriptor meanwhile.
    it = cb_map_.find(fd);
    replaced_live = it != cb_map_.end() && it->second.cb != nullptr;
  }
  if (replaced_live) {
    ModFD(fd, event_mask);
  } else {
    AddFD(fd, event_mask);
    if (it == cb_map_.end())
      it = cb_map_.emplace(fd, CallbackRecord{nullptr, nullptr, nullptr, fd, 0, 0, 0, false}).first;
    // A replacement keeps its count; only a descriptor that was not counted adds one.
    ++reg_fd_size_;
  }
  CallbackRecord* record = &it->second;
  record->cb = cb;
  record->event_mask = event_mask;
  record->events_to_fake = 0;
  SetNonblocking(fd);
  cb->OnRegistration(this, fd, event_mask);
}

bool EpollServer::TryRegisterFD(int fd, EpollCallback* cb, int event_mask) {
  return TryRegister(fd, cb, event_mask, true);
}

bool EpollServer::TryRegisterNonBlockingFD(int fd, EpollCallback* cb, int event_mask) {
  return TryRegister(fd, cb, event_mask, false);
}

bool EpollServer::TryRegister(int fd, EpollCallback* cb, int event_mask, bool set_non_blocking) {
  if (!AddFD(fd, event_mask))
    return false;
  auto it = cb_map_.find(fd);
  if (it == cb_map_.end()) {
    it = cb_map_.emplace(fd, CallbackRecord{nullptr, nullptr, nullptr, fd, 0, 0, 0, false}).first;
    ++reg_fd_size_;
  } else if (it->second.cb == nullptr) {
    // Unregistered inside its own callback and not yet erased: take the record over.
    ++reg_fd_size_;
  } else {
    // A record kept by RegisterFD although epoll had refused the descriptor.
    EpollCallback* old = it->second.cb;
    RemoveFromReadyList(&it->second);
    it->second.cb = nullptr;
    old->OnUnregistration(fd, true);
    it = cb_map_.find(fd);
    if (it == cb_map_.end())
      it = cb_map_.emplace(fd, CallbackRecord{nullptr, nullptr, nullptr, fd, 0, 0, 0, false}).first;
  }
  CallbackRecord* record = &it->second;
  record->cb = cb;
  record->event_mask = event_mask;
  record->events_to_fake = 0;
  QV_LOGD(kTag, "cb_map_ size %zd reg_fd_size_ %d", static_cast<ssize_t>(cb_map_.size()),
          reg_fd_size_);
  if (set_non_blocking)
    SetNonblocking(fd);
  cb->OnRegistration(this, fd, event_mask);
  return true;
}

void EpollServer::RegisterFDForWrite(int fd, EpollCallback* cb) {
  RegisterFD(fd, cb, EPOLLOUT);
}

void EpollServer::RegisterFDForReadWrite(int fd, EpollCallback* cb) {
  RegisterFD(fd, cb, EPOLLIN | EPOLLOUT);
}

void EpollServer::RegisterFDForRead(int fd, EpollCallback* cb) {
  RegisterFD(fd, cb, EPOLLIN);
}

void EpollServer::UnregisterFD(int fd) {
  auto it = cb_map_.find(fd);
  if (it == cb_map_.end() || it->second.cb == nullptr)
    return;
  CallbackRecord* record = &it->second;
  EpollCallback* cb = record->cb;
  RemoveFromReadyList(record);
  DelFD(fd);
  --reg_fd_size_;
  // Cleared before the call, so an unregistration from inside OnUnregistration is a no-op.
  record->cb = nullptr;
  record->event_mask = 0;
  record->events_to_fake = 0;
  cb->OnUnregistration(fd, false);
  it = cb_map_.find(fd);
  // A record in use is erased once its running callback returns.
  if (it != cb_map_.end() && it->second.cb == nullptr && !it->second.in_use)
    EraseRecord(fd);
}

void EpollServer::ModifyCallback(int fd, int event_mask) {
  ModifyFD(fd, ~0, event_mask);
}

void EpollServer::StopRead(int fd) {
  ModifyFD(fd, EPOLLIN, 0);
}

void EpollServer::StartRead(int fd) {
  ModifyFD(fd, 0, EPOLLIN);
}

void EpollServer::StopWrite(int fd) {
  ModifyFD(fd, EPOLLOUT, 0);
}

void EpollServer::StartWrite(int fd) {
  ModifyFD(fd, 0, EPOLLOUT);
}

void EpollServer::ModifyFD(int fd, int remove_event, int add_event) {
  auto it = cb_map_.find(fd);
  if (it == cb_map_.end()) {
    QV_LOGW(kTag, "Didn't find the fd %d in internal structures", fd);
    return;
  }
  CallbackRecord* record = &it->second;
  if (record->cb == nullptr)
    return;
  QV_LOGD(kTag, "fd= %d event_mask before: %s", fd, EventMaskToString(record->event_mask).c_str());
  record->event_mask = (record->event_mask & ~remove_event) | add_event;
  QV_LOGD(kTag, "fd= %d event_mask after: %s", fd, EventMaskToString(record->event_mask).c_str());
  const int event_mask = record->event_mask;
  ModFD(fd, event_mask);
  record->cb->OnModification(fd, event_mask);
}

bool EpollServer::AddFD(int fd, int event_mask) {
  if (reg_fd_size_ >= max_fd_size_) {
    QV_LOGW(kTag, "max fd reached %d", max_fd_size_);
    return false;
  }
  struct epoll_event ee;
  memset(&ee, 0, sizeof(ee));
  ee.events = static_cast<uint32_t>(event_mask | kAlwaysWatched);
  ee.data.fd = fd;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ee) != 0) {
    const int err = errno;
    QV_LOGD(kTag, "Epoll set insertion error for fd %d: %s", fd, ErrorText(err).c_str());
    return false;
  }
  return true;
}

void EpollServer::DelFD(int fd) {
  struct epoll_event ee;
  memset(&ee, 0, sizeof(ee));
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, &ee) != 0) {
    const int err = errno;
    QV_LOGD(kTag, "Epoll set removal error for fd %d: %s", fd, ErrorText(err).c_str());
  }
}

void EpollServer::ModFD(int fd, int event_mask) {
  struct epoll_event ee;
  memset(&ee, 0, sizeof(ee));
  const int events = event_mask | kAlwaysWatched;
  ee.events = static_cast<uint32_t>(events);
  ee.data.fd = fd;
  QV_LOGD(kTag, "modifying fd= %d %s", fd, EventMaskToString(events).c_str());
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ee) != 0) {
    const int err = errno;
    QV_LOGW(kTag, "Epoll set modification error for fd %d: %s", fd, ErrorText(err).c_str());
  }
}

int EpollServer::GetFlags(int fd) {
  return fcntl(fd, F_GETFL, 0);
}

void EpollServer::SetNonblocking(int fd) {
  const int flags = GetFlags(fd);
  if (flags == -1) {
    const int err = errno;
    QV_LOGW(kTag, "Error %d doing fcntl(%d, F_GETFL, 0): %s", err, fd, ErrorText(err).c_str());
    return;
  }
  if (flags & O_NONBLOCK)
    return;
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    const int err = errno;
    QV_LOGW(kTag, "Error %d doing fcntl(%d, F_SETFL, %d): %s", err, fd, flags,
            ErrorText(err).c_str());
  }
}

void EpollServer::WaitForEventsAndExecuteCallbacks() {
  if (in_wait_) {
    QV_LOGW(kTag,
            "Attempting to call WaitForEventsAndExecuteCallbacks when an ancestor to the current "
            "function is already WaitForEventsAndExecuteCallbacks!");
    return;
  }
  in_wait_ = true;
  if (alarm_map_.empty()) {
    WaitForEventsAndCallHandleEvents(timeout_in_us_, events_, kEventsSize);
  } else {
    const int64_t now = NowInUsec();
    const int64_t next_alarm_time = alarm_map_.begin()->first.time_in_us;
    QV_LOGD(kTag, "next_alarm_time = %lld now = %lld timeout_in_us = %lld",
            static_cast<long long>(next_alarm_time), static_cast<long long>(now),
            static_cast<long long>(timeout_in_us_));
    // Written so that no subtraction can overflow, whatever the alarm time.
    const int64_t wait = next_alarm_time <= now ? 0 : next_alarm_time - now;
    const int64_t wait_time_in_us =
        timeout_in_us_ >= 0 && timeout_in_us_ <= wait ? timeout_in_us_ : wait;
    QV_LOGD(kTag, "wait_time_in_us = %lld", static_cast<long long>(wait_time_in_us));
    WaitForEventsAndCallHandleEvents(wait_time_in_us, events_, kEventsSize);
    CallAndReregisterAlarmEvents();
  }
  recorded_now_in_us_ = 0;
  in_wait_ = false;
}

void EpollServer::WaitForEventsAndCallHandleEvents(int64_t timeout_in_us,
                                                   struct epoll_event* events, int events_size) {
  int timeout_ms;
  if (timeout_in_us == 0 || ready_list_ != nullptr) {
    timeout_ms = 0;
  } else if (timeout_in_us < 0) {
    QV_LOGW(kTag, "Negative epoll timeout: %lld us; epoll will wait forever for events.",
            static_cast<long long>(timeout_in_us));
    timeout_ms = -1;
  } else {
    // epoll_wait counts milliseconds: a short positive wait is still a wait.
    const int64_t ms = std::max<int64_t>(timeout_in_us, 1000) / 1000;
    timeout_ms = static_cast<int>(std::min<int64_t>(ms, INT_MAX));
  }
  const int n = EpollWaitImpl(epoll_fd_, events, events_size, timeout_ms);
  const int wait_errno = errno;
  recorded_now_in_us_ = NowInUsec();
  if (n > 0) {
    for (int i = 0; i < n; ++i)
      HandleEvent(events[i].data.fd, static_cast<int>(events[i].events));
  } else if (n < 0 && wait_errno != EINTR && wait_errno != 0) {
    QV_LOGW(kTag, "Error %d  in epoll_wait: %s", wait_errno, ErrorText(wait_errno).c_str());
  }
  if (ready_list_ != nullptr)
    CallReadyListCallbacks();
}

int EpollServer::EpollWaitImpl(int epfd, struct epoll_event* events, int max_events,
                               int timeout_ms) {
  return epoll_wait(epfd, events, max_events, timeout_ms);
}

void EpollServer::HandleEvent(int fd, int event_mask) {
  auto it = cb_map_.find(fd);
  if (it == cb_map_.end() || it->second.cb == nullptr)
    return;
  it->second.events_asserted = event_mask;
  AddToReadyList(&it->second);
}

void EpollServer::CallReadyListCallbacks() {
  // Whatever becomes ready while this batch runs waits for the next iteration.
  tmp_list_ = ready_list_;
  ready_list_ = nullptr;
  if (tmp_list_ != nullptr)
    tmp_list_->prev_next = &tmp_list_;
  while (tmp_list_ != nullptr) {
    CallbackRecord* record = tmp_list_;
    RemoveFromReadyList(record);
    EpollEvent event(record->events_to_fake | record->events_asserted);
    record->events_to_fake = 0;
    record->events_asserted = 0;
    if (record->cb == nullptr)
      continue;
    record->in_use = true;
    record->cb->OnEvent(record->fd, &event);
    record->in_use = false;
    if (record->cb == nullptr) {
      EraseRecord(record->fd);
    } else if (event.out_ready_mask != 0) {
      FakeEvents(record, event.out_ready_mask);
    }
  }
}

void EpollServer::AddToReadyList(CallbackRecord* record) {
  if (record->prev_next != nullptr)
    return;
  record->next = ready_list_;
  if (ready_list_ != nullptr)
    ready_list_->prev_next = &record->next;
  ready_list_ = record;
  record->prev_next = &ready_list_;
  ++ready_list_size_;
}

void EpollServer::RemoveFromReadyList(CallbackRecord* record) {
  if (record->prev_next == nullptr)
    return;
  *record->prev_next = record->next;
  if (record->next != nullptr)
    record->next->prev_next = record->prev_next;
  record->next = nullptr;
  record->prev_next = nullptr;
  --ready_list_size_;
}

void EpollServer::FakeEvents(CallbackRecord* record, int events) {
  if (record->prev_next != nullptr) {
    // Already waiting to run: a second request must not wipe out the first.
    record->events_to_fake |= events;
    return;
  }
  record->events_to_fake = events;
  AddToReadyList(record);
}

void EpollServer::EraseRecord(int fd) {
  auto it = cb_map_.find(fd);
  if (it == cb_map_.end())
    return;
  RemoveFromReadyList(&it->second);
  cb_map_.erase(it);
}

void EpollServer::SetFDReady(int fd, int events_to_fake) {
  auto it = cb_map_.find(fd);
  if (it == cb_map_.end() || it->second.cb == nullptr)
    return;
  FakeEvents(&it->second, events_to_fake);
}

void EpollServer::SetFDNotReady(int fd) {
  auto it = cb_map_.find(fd);
  if (it == cb_map_.end())
    return;
  RemoveFromReadyList(&it->second);
  // Faked events are a request to run; withdrawing it withdraws them too.
  it->second.events_to_fake = 0;
}

bool EpollServer::IsFDReady(int fd) const {
  auto it = cb_map_.find(fd);
  return it != cb_map_.end() && it->second.cb != nullptr && it->second.prev_next != nullptr;
}

void EpollServer::RegisterAlarm(int64_t timeout_time_in_us, AlarmCallback* ac) {
  if (all_alarms_.count(ac) != 0) {
    QV_LOGD(kTag, "Alarm already exists");
    return;
  }
  QV_LOGD(kTag, "RegisteringAlarm at : %lld", static_cast<long long>(timeout_time_in_us));
  const AlarmKey key{timeout_time_in_us, ++next_alarm_sequence_};
  alarm_map_.emplace(key, ac);
  all_alarms_.insert(ac);
  ac->OnRegistration(AlarmToken(key.time_in_us, key.sequence), this);
}

void EpollServer::UnregisterAlarm(const AlarmToken& token) {
  auto it = alarm_map_.find(AlarmKey{token.time_in_us_, token.sequence_});
  if (token.sequence_ == 0 || it == alarm_map_.end())
    return;
  AlarmCallback* ac = it->second;
  alarm_map_.erase(it);
  all_alarms_.erase(ac);
  alarms_reregistered_.erase(ac);
  ac->OnUnregistration();
}

void EpollServer::CallAndReregisterAlarmEvents() {
  // epoll_wait counts whole milliseconds, so whatever falls due before the end of the next
  // one runs now rather than after another wait.
  const int64_t threshold = (recorded_now_in_us_ / 1000) * 1000 + 1999;
  auto it = alarm_map_.begin();
  while (it != alarm_map_.end() && it->first.time_in_us <= threshold) {
    AlarmCallback* ac = it->second;
    if (alarms_reregistered_.count(ac) != 0) {
      ++it;
      continue;
    }
    // The entry goes before the call: the callback may change the map in any way, and its
    // token must not name an entry that is about to be erased.
    const AlarmKey fired = it->first;
    all_alarms_.erase(ac);
    alarm_map_.erase(it);
    const int64_t again = ac->OnAlarm();
    if (again > 0) {
      QV_LOGW(kTag, "Reregistering alarm");
      if (again <= threshold)
        alarms_reregistered_.insert(ac);
      RegisterAlarm(again, ac);
    }
    it = alarm_map_.upper_bound(fired);
  }
  alarms_reregistered_.clear();
}

int EpollServer::NumFDsRegistered() const {
  const int records = static_cast<int>(cb_map_.size());
  return read_fd_ >= 0 ? records - 1 : records;
}

void EpollServer::Wake() {
  if (write_fd_ < 0)
    return;
  if (write(write_fd_, "d", 1) < 0) {
    // A full pipe already holds a wake-up.
  }
}

int64_t EpollServer::NowInUsec() const {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000000 + static_cast<int64_t>(tv.tv_usec);
}

int64_t EpollServer::ApproximateNowInUsec() const {
  return recorded_now_in_us_ != 0 ? recorded_now_in_us_ : NowInUsec();
}

std::string EpollServer::EventMaskToString(int mask) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {
      {EPOLLIN, "EPOLLIN "},         {EPOLLPRI, "EPOLLPRI "},       {EPOLLOUT, "EPOLLOUT "},
      {EPOLLRDNORM, "EPOLLRDNORM "}, {EPOLLRDBAND, "EPOLLRDBAND "}, {EPOLLWRNORM, "EPOLLWRNORM "},
      {EPOLLWRBAND, "EPOLLWRBAND "}, {EPOLLMSG, "EPOLLMSG "},       {EPOLLERR, "EPOLLERR "},
      {EPOLLHUP, "EPOLLHUP "},       {EPOLLET, "EPOLLET "},
  };
  const uint32_t bits = static_cast<uint32_t>(mask);
  std::string s;
  for (const auto& entry : kNames) {
    if (bits & entry.bit)
      s += entry.name;
  }
  return s;
}
