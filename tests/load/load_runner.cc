#include "load/load_runner.h"

#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include "load/load_connection.h"

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

LoadRunner::LoadRunner(const RequestPlan* plan, const LoadSettings& settings,
                       std::atomic<uint64_t>* next_id, uint64_t total)
    : plan_(plan), settings_(settings), next_id_(next_id), total_(total) {}

LoadRunner::~LoadRunner() {
  connections_.clear();
  if (ssl_ctx_ != nullptr)
    SSL_CTX_free(ssl_ctx_);
  if (epoll_fd_ >= 0)
    close(epoll_fd_);
}

bool LoadRunner::TakeId(uint64_t* id) {
  const uint64_t n = next_id_->fetch_add(1);
  if (n >= total_)
    return false;
  *id = n;
  return true;
}

bool LoadRunner::Run(int connections) {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  ssl_ctx_ = SSL_CTX_new(TLS_client_method());
  if (epoll_fd_ < 0 || ssl_ctx_ == nullptr)
    return false;
  // The origin's certificate is self-signed; what matters here is the bytes inside.
  SSL_CTX_set_verify(ssl_ctx_, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(ssl_ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

  for (int i = 0; i < connections; ++i)
    connections_.emplace_back(new LoadConnection(this));
  // The i-th connection starts at ramp * i / connections: a burst of a thousand connects at
  // once overflows a listen backlog, and the kernel answers part of it with SYN cookies and
  // resets, which is the network's doing, not the proxy's.
  const double start = Now();
  const double ramp = settings_.ramp_ms / 1000.0;
  size_t started = 0;
  double next_check = start + 1;
  epoll_event events[256];
  for (;;) {
    const double elapsed = Now() - start;
    while (started < connections_.size() &&
           (ramp <= 0 || elapsed >= ramp * static_cast<double>(started) / connections)) {
      ready_.push_back(connections_[started++].get());
    }
    // Connections whose request ended take their next one here, outside their own callbacks.
    while (!ready_.empty()) {
      std::vector<LoadConnection*> batch;
      batch.swap(ready_);
      for (LoadConnection* c : batch)
        c->StartNext();
    }
    if (busy_ == 0 && started == connections_.size())
      break;
    const int n = epoll_wait(epoll_fd_, events, 256, started < connections_.size() ? 1 : 200);
    for (int i = 0; i < n; ++i)
      static_cast<LoadConnection*>(events[i].data.ptr)->OnEvent(events[i].events);
    const double now = Now();
    if (now >= next_check) {
      next_check = now + 1;
      for (auto& c : connections_)
        c->CheckTimeout(now);
    }
  }
  for (auto& c : connections_)
    c->Close();
  return true;
}
