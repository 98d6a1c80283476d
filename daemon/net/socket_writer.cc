#include "net/socket_writer.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "core/error_text.h"
#include "core/logging.h"

SocketWriter::SocketWriter(const char* tag, const char* budget_spent_text, size_t budget,
                           bool log_more)
    : tag_(tag),
      budget_spent_text_(budget_spent_text),
      budget_(budget),
      log_more_(log_more),
      cork_(tag) {}

SocketWriter::~SocketWriter() {
  Clear();
}

void SocketWriter::Clear() {
  for (DataFrame* f : queue_)
    delete f;
  queue_.clear();
  queued_bytes_ = 0;
  cork_.Reset();
}

SocketWriter::Result SocketWriter::Write(int fd, const std::string& peer, int* events,
                                         Observer* observer) {
  if (queue_.empty())
    *events &= ~EPOLLOUT;
  if (static_cast<int>(queue_.size()) > max_output_list_) {
    max_output_list_ = static_cast<int>(queue_.size());
    QV_LOGD(tag_, "max_output_list_ %d", max_output_list_);
  }
  size_t bytes_sent = 0;
  while (!queue_.empty()) {
    if (bytes_sent >= budget_) {
      QV_LOGD(tag_, "%s", budget_spent_text_);
      *events |= EPOLLOUT;
      break;
    }
    DataFrame* frame = queue_.front();
    if (frame->index >= frame->size) {
      queue_.pop_front();
      delete frame;
      continue;
    }
    const bool more = queue_.size() > 1;
    int flags = MSG_DONTWAIT | MSG_NOSIGNAL;
    if (more) {
      if (log_more_)
        QV_LOGD(tag_, "Outlist size:%zd, Adding MSG_MORE flag",
                static_cast<ssize_t>(queue_.size()));
      flags |= MSG_MORE;
    }
    Cork(fd, true);
    const ssize_t n = send(fd, frame->data + frame->index, frame->size - frame->index, flags);
    const int err = errno;
    if (!more)
      Cork(fd, false);
    if (n > 0) {
      frame->index += static_cast<unsigned int>(n);
      bytes_sent += static_cast<size_t>(n);
      queued_bytes_ -= static_cast<size_t>(n);
      observer->OnBytesSent(static_cast<size_t>(n));
      continue;
    }
    if (n == 0) {
      QV_LOGD(tag_, "0 bytes written with send call.");
      return kFailed;
    }
    if (err == EINTR) {
      QV_LOGD(tag_, "Got EINTR while writing");
      continue;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
      *events &= ~EPOLLOUT;
      QV_LOGD(tag_, "Got EAGAIN while writing");
      Cork(fd, false);
      return kBlocked;
    }
    QV_LOGW(tag_, "While calling send(%s), got error:%s", peer.c_str(), ErrorText(err).c_str());
    return kFailed;
  }
  return kWritten;
}
