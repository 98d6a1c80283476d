#include "net/socket_writer.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "core/error_text.h"
#include "core/logging.h"
#include "net/reply_chunk.h"

SocketWriter::SocketWriter(const char* tag, const char* budget_spent_text, size_t budget,
                           bool log_more)
    : tag_(tag), budget_spent_text_(budget_spent_text), budget_(budget), log_more_(log_more) {}

SocketWriter::~SocketWriter() {
  Clear();
}

void SocketWriter::Clear() {
  for (DataFrame* f : queue_)
    delete f;
  queue_.clear();
  queued_bytes_ = 0;
}

bool SocketWriter::AppendToLast(const char* data, size_t len) {
  if (queue_.empty())
    return false;
  ReplyChunk* last = dynamic_cast<ReplyChunk*>(queue_.back());
  if (last == nullptr || !last->Append(data, len))
    return false;
  queued_bytes_ += len;
  return true;
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
    // MSG_MORE holds a send's bytes back for the ones that follow in this pass, as a cork
    // would, without two setsockopt calls per pass: the pass's last send goes without it and
    // pushes them all, as the uncork at its end did. The last send is the last record's, or the
    // one that spends the budget.
    const size_t rest = frame->size - frame->index;
    const bool more = queue_.size() > 1 && bytes_sent + rest < budget_;
    int flags = MSG_DONTWAIT | MSG_NOSIGNAL;
    if (more) {
      if (log_more_)
        QV_LOGD(tag_, "Outlist size:%zd, Adding MSG_MORE flag",
                static_cast<ssize_t>(queue_.size()));
      flags |= MSG_MORE;
    }
    const ssize_t n = send(fd, frame->data + frame->index, rest, flags);
    const int err = errno;
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
      // What a MSG_MORE send held back leaves with the next segment the full socket sends.
      return kBlocked;
    }
    QV_LOGW(tag_, "While calling send(%s), got error:%s", peer.c_str(), ErrorText(err).c_str());
    return kFailed;
  }
  return kWritten;
}
