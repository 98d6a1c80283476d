#include "front/accept_callback.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/logging.h"
#include "front/http_thread.h"

namespace {
const char kTag[] = "http_thread";
}  // namespace

AcceptCallback::AcceptCallback(int listen_fd) : listen_fd_(listen_fd) {}

AcceptCallback::~AcceptCallback() {}

void AcceptCallback::OnEvent(int, EpollEvent*) {
  for (;;) {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    // Non-blocking and close-on-exec from the start, so that nothing sets them later; the
    // client's address comes with it.
    const int fd = accept4(listen_fd_, reinterpret_cast<struct sockaddr*>(&addr), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd == -1) {
      if (errno == EAGAIN)
        return;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors: the queued clients wait for the next RetryIfBlocked. Logged once
        // per such spell, not at every retry.
        if (!blocked_)
          QV_LOGW(kTag, "accept failed,err:%d", errno);
        blocked_ = true;
        return;
      }
      QV_LOGW(kTag, "accept failed,err:%d", errno);
      // Edge-triggered: stopping here would leave the connections queued behind an aborted
      // or interrupted one waiting for the next client.
      if (errno == ECONNABORTED || errno == EINTR)
        continue;
      return;
    }
    blocked_ = false;
    QV_LOGD(kTag, "accept connection, fd=%d", fd);
    const bool has_peer = len == sizeof(addr) && addr.sin_family == AF_INET;
    if (http_thread_ == nullptr ||
        http_thread_->put_to_other_epoll(fd, has_peer ? &addr : nullptr) != 0) {
      QV_LOGW(kTag, "put_to_other_epoll failed,close it, fd=%d", fd);
      close(fd);
    }
  }
}

void AcceptCallback::RetryIfBlocked() {
  if (blocked_)
    OnEvent(listen_fd_, nullptr);
}
