#ifndef DAEMON_FRONT_ACCEPT_CALLBACK_H
#define DAEMON_FRONT_ACCEPT_CALLBACK_H

#include "net/epoll_server.h"

class HttpThread;

// Callback of the listening socket, registered edge-triggered: every readiness event takes all
// waiting connections and hands them to the HttpThread.
class AcceptCallback : public EpollCallback {
 public:
  explicit AcceptCallback(int listen_fd);
  ~AcceptCallback() override;

  AcceptCallback(const AcceptCallback&) = delete;
  AcceptCallback& operator=(const AcceptCallback&) = delete;

  void OnRegistration(EpollServer*, int, int) override {}
  void OnModification(int, int) override {}
  void OnEvent(int fd, EpollEvent* event) override;
  void OnUnregistration(int, bool) override {}
  void OnShutdown(EpollServer*, int) override {}

  int listen_fd() const { return listen_fd_; }
  void set_http_thread(HttpThread* thread) { http_thread_ = thread; }

  // Accepts again after accept ran out of descriptors (or memory): the connections queued then
  // raise no new edge, so the HttpThread calls this once per loop iteration.
  void RetryIfBlocked();

 private:
  int listen_fd_;
  HttpThread* http_thread_ = nullptr;
  bool blocked_ = false;
};

#endif  // DAEMON_FRONT_ACCEPT_CALLBACK_H
