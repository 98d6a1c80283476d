#include "net/socket_connection.h"

#include <errno.h>
#include <sys/socket.h>

#include "core/error_text.h"
#include "core/logging.h"

SocketConnection::SocketConnection(const char* tag, int read_buffer_size, bool lazy_read_buffer)
    : tag_(tag), read_buffer_(read_buffer_size, lazy_read_buffer) {}

SocketConnection::~SocketConnection() {}

void SocketConnection::OnRegistration(EpollServer*, int, int) {
  registered_ = true;
}

void SocketConnection::OnModification(int, int) {}

void SocketConnection::OnEvent(int, EpollEvent* event) {
  // Kept apart from the events to handle: it stays true, and it asks for no callback again.
  if (event->in_events & EPOLLRDHUP)
    peer_shut_ = true;
  events_ |= event->in_events & ~EPOLLRDHUP;
  HandleEvents();
  if (events_ != 0) {
    event->out_ready_mask = events_;
    events_ = 0;
  }
}

void SocketConnection::OnUnregistration(int, bool) {
  registered_ = false;
}

void SocketConnection::OnShutdown(EpollServer*, int) {
  Cleanup("OnShutdown", 1);
}

bool SocketConnection::OnReceived(char*, size_t) {
  return true;
}

bool SocketConnection::ReceiveAll(const std::string& peer, const char* owner) {
  bool drained = false;
  while (!read_buffer_.IsFull()) {
    if (read_paused_) {
      events_ &= ~EPOLLIN;
      read_owed_ = true;
      return true;
    }
    char* region;
    int size;
    read_buffer_.GetWritableRegion(&region, &size);
    const ssize_t n = recv(fd_, region, static_cast<size_t>(size), MSG_DONTWAIT);
    if (n > 0) {
      read_buffer_.Commit(static_cast<int>(n));
      if (!OnReceived(region, static_cast<size_t>(n)))
        return false;
      // Less than there was room for: the socket is drained, and edge-triggered epoll reports
      // the next bytes. Unless the peer has shut its side, whose end must still be read.
      if (short_read_drains_ && !peer_shut_ && n < size) {
        events_ &= ~EPOLLIN;
        drained = true;
        break;
      }
      continue;
    }
    if (n == 0) {
      QV_LOGD(tag_, "0 bytes read with recv call.");
      Cleanup("DoRead", 3);
      return false;
    }
    const int err = errno;
    if (err == EINTR) {
      QV_LOGD(tag_, "Got EINTR while reading");
      continue;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
      events_ &= ~EPOLLIN;
      QV_LOGD(tag_, "Got EAGAIN while reading");
      drained = true;
      break;
    }
    QV_LOGW(tag_, "While calling recv(%s), got error:%s", peer.c_str(), ErrorText(err).c_str());
    Cleanup("DoRead", 4);
    return false;
  }
  if (!drained) {
    events_ &= ~EPOLLIN;
    QV_LOGW(tag_, "%s connection(%s)'s read buf is full", owner, peer.c_str());
  }
  QV_LOGD(tag_, "DoRead done!");
  return true;
}

void SocketConnection::ResumeRead() {
  if (!read_paused_)
    return;
  read_paused_ = false;
  if (read_owed_ && epoll_server_ != nullptr && fd_ >= 0)
    epoll_server_->SetFDReady(fd_, EPOLLIN);
  read_owed_ = false;
}

void SocketConnection::AskForWrite() {
  if (epoll_server_ != nullptr && fd_ >= 0)
    epoll_server_->SetFDReady(fd_, EPOLLOUT);
}

void SocketConnection::Unregister() {
  if (registered_ && epoll_server_ != nullptr) {
    epoll_server_->UnregisterFD(fd_);
    registered_ = false;
  }
}
