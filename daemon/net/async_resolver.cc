#include "net/async_resolver.h"

#include <netdb.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "net/epoll_server.h"
#include "net/name_resolver.h"

namespace {

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

// What the owner and the worker threads share. The workers hold it too, so a worker stuck in a
// lookup when the owner goes away finds it still there, and the loop gone from it.
struct AsyncResolver::Shared {
  std::mutex mutex;
  std::condition_variable work;
  EpollServer* loop = nullptr;
  bool stopped = false;
  int max_workers = 1;
  int workers = 0;
  int idle = 0;
  std::deque<std::pair<uint64_t, std::string>> queue;
  std::vector<Result> done;
  // Results are there to take: checked without the lock on every loop iteration.
  std::atomic<bool> any_done{false};

  void Work();
};

void AsyncResolver::Shared::Work() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    ++idle;
    work.wait(lock, [this] { return stopped || !queue.empty(); });
    --idle;
    if (stopped) {
      --workers;
      return;
    }
    const std::pair<uint64_t, std::string> job = queue.front();
    queue.pop_front();
    lock.unlock();
    Result result;
    result.ticket = job.first;
    memset(&result.address, 0, sizeof(result.address));
    result.code = ResolveHost(job.second, &result.address);
    lock.lock();
    if (stopped) {
      --workers;
      return;
    }
    done.push_back(result);
    any_done.store(true, std::memory_order_release);
    if (loop != nullptr)
      loop->Wake();
  }
}

AsyncResolver::AsyncResolver(EpollServer* loop, int workers, int timeout_ms)
    : shared_(new Shared()), timeout_ms_(timeout_ms) {
  shared_->loop = loop;
  shared_->max_workers = workers > 0 ? workers : 1;
}

AsyncResolver::~AsyncResolver() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->stopped = true;
  shared_->loop = nullptr;
  shared_->work.notify_all();
}

uint64_t AsyncResolver::Resolve(const std::string& host) {
  const uint64_t ticket = next_ticket_++;
  asked_[ticket] = MonotonicMs();
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->queue.emplace_back(ticket, host);
  if (shared_->idle == 0 && shared_->workers < shared_->max_workers) {
    ++shared_->workers;
    std::shared_ptr<Shared> shared = shared_;
    std::thread([shared] { shared->Work(); }).detach();
  } else {
    shared_->work.notify_one();
  }
  return ticket;
}

void AsyncResolver::Cancel(uint64_t ticket) {
  asked_.erase(ticket);
  std::lock_guard<std::mutex> lock(shared_->mutex);
  for (auto it = shared_->queue.begin(); it != shared_->queue.end(); ++it) {
    if (it->first == ticket) {
      shared_->queue.erase(it);
      break;
    }
  }
}

void AsyncResolver::TakeResults(std::vector<Result>* results) {
  results->clear();
  std::map<uint64_t, int64_t>& since = asked_;
  if (shared_->any_done.load(std::memory_order_acquire)) {
    std::vector<Result> done;
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      done.swap(shared_->done);
      shared_->any_done.store(false, std::memory_order_relaxed);
    }
    // Cancelled ones are no longer asked for.
    for (const Result& r : done) {
      if (since.erase(r.ticket) > 0)
        results->push_back(r);
    }
  }
  if (since.empty())
    return;
  const int64_t now = MonotonicMs();
  std::vector<uint64_t> late;
  for (const auto& entry : since) {
    if (now - entry.second >= timeout_ms_)
      late.push_back(entry.first);
  }
  for (uint64_t ticket : late) {
    since.erase(ticket);
    Result r;
    r.ticket = ticket;
    r.code = TRY_AGAIN;
    memset(&r.address, 0, sizeof(r.address));
    results->push_back(r);
  }
  if (!late.empty()) {
    // Late ones still queued need no worker any more.
    std::lock_guard<std::mutex> lock(shared_->mutex);
    for (auto it = shared_->queue.begin(); it != shared_->queue.end();) {
      bool gone = false;
      for (uint64_t ticket : late)
        gone = gone || it->first == ticket;
      it = gone ? shared_->queue.erase(it) : it + 1;
    }
  }
}

size_t AsyncResolver::pending() const {
  return asked_.size();
}
