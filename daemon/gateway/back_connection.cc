#include "gateway/back_connection.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "core/link_counters.h"
#include "core/logging.h"
#include "gateway/quorvin_interface.h"
#include "gateway/quorvin_thread.h"
#include "net/data_frame.h"
#include "stream/stream_dispatch.h"

namespace {

const char kTag[] = "back_connection";

// What the TLS socket carried so far, the handshake included, goes to the process's counters.
void CountLinkBytes(SSL* ssl) {
  LinkCounters::Get().CountLink(BIO_number_read(SSL_get_rbio(ssl)),
                                BIO_number_written(SSL_get_wbio(ssl)));
}

}  // namespace

BackConnection::BackConnection(QuorvinThread* owner, QuorvinInterface* session)
    : SocketConnection(kTag, kReadBufferSize), owner_(owner), session_(session), cork_(kTag) {}

BackConnection::~BackConnection() {
  if (initialized_)
    Cleanup("OnShutdown", 1);
  for (DataFrame* record : output_list_)
    delete record;
  output_list_.clear();
}

void BackConnection::ReadyToSend() {
  QV_LOGD(kTag, "set back conn fd %d ready", fd_);
  AskForWrite();
}

int BackConnection::InitBackConnection(EpollServer* loop, int fd, SSL* ssl, SSL_CTX* ctx) {
  QV_LOGD(kTag, "InitBackConnection %d", fd);
  if (initialized_)
    return 1;
  if (!loop->TryRegisterFD(fd, this, EPOLLIN | EPOLLOUT | EPOLLET)) {
    QV_LOGW(kTag, "InitBackConnection RegisterFDM failed");
    return 1;
  }
  epoll_server_ = loop;
  fd_ = fd;
  ssl_ = ssl;
  ssl_ctx_ = ctx;
  cork_.Reset();
  read_buffer_.Clear();
  read_wants_write_ = false;
  write_wants_read_ = false;
  initialized_ = true;
  LinkCounters::Get().GatewayUp();
  session_->set_connection(this);
  // Both ends start the session with fresh compression contexts, whatever happened before.
  session_->Reset();
  last_read_time_ = time(0);
  return 0;
}

void BackConnection::EnqueueDataFrame(DataFrame* record) {
  if (record == nullptr)
    return;
  if (!initialized_) {
    QV_LOGW(kTag, "EnqueueDataFrame: no gateway connection, frame of stream %u dropped",
            record->stream_id);
    delete record;
    return;
  }
  output_list_.push_back(record);
  QV_LOGD(kTag, "EnqueueDataFrame size=%zd", static_cast<ssize_t>(record->size));
  ++stream_queue_counts_[record->stream_id];
  ReadyToSend();
}

int BackConnection::QueuedCount(uint32_t stream_id) const {
  auto it = stream_queue_counts_.find(stream_id);
  return it == stream_queue_counts_.end() ? 0 : it->second;
}

bool BackConnection::CheckTimeout() {
  const time_t now = time(0);
  const ProxyConfig* config = GetProxyConfig();
  if (session_->ping_outstanding() && now - session_->ping_sent_time() > config->ping_timeout_) {
    Cleanup("BackConnection ping timeout reached.", 2);
    return true;
  }
  if (now - last_read_time_ > config->max_session_idle_time_) {
    Cleanup("BackConnection idle timeout reached.", 2);
    return true;
  }
  return false;
}

void BackConnection::HandleEvents() {
  DispatchEvents();
  if (ssl_ != nullptr)
    CountLinkBytes(ssl_);
}

void BackConnection::DispatchEvents() {
  if (read_wants_write_)
    events_ &= ~EPOLLIN;
  if (events_ & EPOLLIN) {
    if (write_wants_read_) {
      if (!DoWrite())
        return;
      // The readable edge went to the write; read on the next pass so nothing waits unread.
      if (!write_wants_read_)
        events_ |= EPOLLIN;
    } else if (!DoRead()) {
      return;
    }
  }
  if (write_wants_read_)
    events_ &= ~EPOLLOUT;
  if (events_ & EPOLLOUT) {
    if (read_wants_write_) {
      if (!DoRead())
        return;
      // Likewise the writable edge went to the read: queued records get their turn next pass.
      if (!read_wants_write_)
        events_ |= EPOLLOUT;
    } else if (!DoWrite()) {
      return;
    }
  }
  if (events_ & (EPOLLERR | EPOLLHUP)) {
    QV_LOGW(kTag, "Got HUP or ERR");
    Cleanup("HandleEvents", 4);
  }
}

bool BackConnection::DoRead() {
  QV_LOGD(kTag, "DoRead: fd_=%d", fd_);
  while (true) {
    if (read_buffer_.IsFull()) {
      QV_LOGW(kTag, "Back connection's read buf is full");
      Cleanup("DoRead", 7);
      return false;
    }
    if (fd_ == -1) {
      QV_LOGW(kTag, "DoRead: fd_ == -1, Invalid FD");
      return false;
    }
    char* region = nullptr;
    int size = 0;
    read_buffer_.GetWritableRegion(&region, &size);
    const int n = SSL_read(ssl_, region, size);
    if (n > 0) {
      read_wants_write_ = false;
      QV_LOGD(kTag, "read %ld bytes", static_cast<long>(n));
      // The read time of every frame this read brings, replies and their data included.
      last_read_time_ = time(0);
      read_buffer_.Commit(n);
      if (!ProcessInput()) {
        Cleanup("DoRead", 6);
        return false;
      }
      if (session_->GoAwayReceived()) {
        Cleanup("DoRead", 5);
        return false;
      }
      continue;
    }
    if (n == 0) {
      QV_LOGD(kTag, "0 bytes read with recv call.");
      Cleanup("DoRead", 3);
      return false;
    }
    const int err = SSL_get_error(ssl_, n);
    if (err == SSL_ERROR_WANT_READ) {
      read_wants_write_ = false;
      events_ &= ~EPOLLIN;
      QV_LOGD(kTag, "DoRead: SSL_WANT_READ");
      break;
    }
    if (err == SSL_ERROR_WANT_WRITE) {
      read_wants_write_ = true;
      events_ &= ~EPOLLIN;
      QV_LOGD(kTag, "DoRead: SSL_WANT_WRITE");
      break;
    }
    LogSslErrors();
    Cleanup("DoRead", 4);
    return false;
  }
  QV_LOGD(kTag, "DoRead done!");
  return true;
}

bool BackConnection::ProcessInput() {
  while (!read_buffer_.IsEmpty()) {
    char* region = nullptr;
    int size = 0;
    read_buffer_.GetReadableRegion(&region, &size);
    const size_t consumed = session_->ProcessInput(region, static_cast<size_t>(size));
    QV_LOGD(kTag, "BackConnection consumed %zd bytes", static_cast<ssize_t>(consumed));
    if (consumed > 0)
      read_buffer_.Consume(static_cast<int>(consumed));
    // Checked after every call: a framer can fail without consuming a byte.
    if (session_->HasError()) {
      QV_LOGW(kTag, "Framer error detected: Setting EPOLLOUT:%s", session_->ErrorText());
      events_ |= EPOLLOUT;
      return false;
    }
    if (consumed == 0)
      break;
  }
  return true;
}

bool BackConnection::DoWrite() {
  if (fd_ == -1) {
    QV_LOGW(kTag, "DoWrite: fd == -1. Returning false.");
    return false;
  }
  if (output_list_.empty())
    events_ &= ~EPOLLOUT;
  else if (PassBytes() > kTlsRecordPlaintext)
    cork_.Set(fd_, true);
  if (static_cast<int>(output_list_.size()) > max_output_list_) {
    max_output_list_ = static_cast<int>(output_list_.size());
    QV_LOGD(kTag, "max_output_list_ %d", max_output_list_);
  }
  const int queue_limit = GetProxyConfig()->max_session_queue_size_;
  int sent = 0;
  while (!output_list_.empty()) {
    if (sent >= max_bytes_sent_per_write_) {
      QV_LOGW(kTag, "byte sent >= max bytes sent per write: Setting EPOLLOUT");
      events_ |= EPOLLOUT;
      break;
    }
    DataFrame* record = output_list_.front();
    if (record->index >= record->size) {
      PopSentRecord(queue_limit);
      continue;
    }
    // This record and the ones behind it that this pass would write anyway go out in one TLS
    // record: a TLS record and a system call per frame cost more than the frames themselves.
    size_t records = 0;
    const int n = WriteQueued(sent, &records);
    if (n > 0) {
      write_wants_read_ = false;
      QV_LOGD(kTag, "spdy send %d bytes", n);
      sent += n;
      // Each record written is done with as the frame-by-frame loop would be: all but the last
      // leave the list now, the last at the top of the loop unless the budget is spent.
      auto it = output_list_.begin();
      for (size_t i = 0; i < records; ++i, ++it)
        (*it)->index = (*it)->size;
      for (size_t i = 0; i + 1 < records; ++i)
        PopSentRecord(queue_limit);
      continue;
    }
    const int err = SSL_get_error(ssl_, n);
    if (err == SSL_ERROR_WANT_READ) {
      write_wants_read_ = true;
      events_ &= ~EPOLLOUT;
      QV_LOGD(kTag, "DoWrite: SSL_WANT_READ");
      break;
    }
    if (err == SSL_ERROR_WANT_WRITE) {
      write_wants_read_ = false;
      events_ &= ~EPOLLOUT;
      QV_LOGD(kTag, "DoWrite: SSL_WANT_WRITE");
      break;
    }
    LogSslErrors();
    cork_.Set(fd_, false);
    QV_LOGW(kTag, "DoWrite: error_or_close. Returning false");
    Cleanup("DoWrite", 4);
    return false;
  }
  cork_.Set(fd_, false);
  return true;
}

size_t BackConnection::PassBytes() const {
  // What WriteQueued will hand to one SSL_write: up to one TLS record leaves in one write to the
  // socket, which a cork could not make into fewer segments. Only more is corked.
  if (pending_records_ != 0)
    return pending_.size();
  size_t bytes = 0;
  size_t count = 0;
  for (const DataFrame* record : output_list_) {
    if (count > 0 && bytes >= static_cast<size_t>(max_bytes_sent_per_write_))
      break;
    bytes += record->size - record->index;
    ++count;
  }
  return bytes;
}

void BackConnection::PopSentRecord(int queue_limit) {
  DataFrame* record = output_list_.front();
  output_list_.pop_front();
  const uint32_t stream_id = record->stream_id;
  delete record;
  auto it = stream_queue_counts_.find(stream_id);
  int count = 0;
  if (it != stream_queue_counts_.end()) {
    count = --it->second;
    if (count <= 0)
      stream_queue_counts_.erase(it);
  }
  if (count < queue_limit)
    session_->WakeStream(stream_id);
}

int BackConnection::WriteQueued(int sent, size_t* records) {
  if (pending_records_ == 0) {
    // The records the frame-by-frame loop would reach: each starts while less than the budget
    // has gone.
    size_t count = 0;
    for (DataFrame* record : output_list_) {
      if (count > 0 && sent >= max_bytes_sent_per_write_)
        break;
      sent += static_cast<int>(record->size - record->index);
      ++count;
    }
    if (count > 1) {
      pending_.clear();
      auto it = output_list_.begin();
      for (size_t i = 0; i < count; ++i, ++it)
        pending_.append((*it)->data + (*it)->index, (*it)->size - (*it)->index);
      pending_records_ = count;
    }
  }
  int n;
  if (pending_records_ == 0) {
    // One record alone is written from where it lies.
    DataFrame* record = output_list_.front();
    *records = 1;
    n = SSL_write(ssl_, record->data + record->index,
                  static_cast<int>(record->size - record->index));
  } else {
    // A write that had to wait is repeated with the very same bytes, as TLS requires.
    *records = pending_records_;
    n = SSL_write(ssl_, pending_.data(), static_cast<int>(pending_.size()));
    if (n > 0) {
      pending_records_ = 0;
      pending_.clear();
    }
  }
  return n;
}

void BackConnection::LogSslErrors() {
  unsigned long code;
  while ((code = ERR_get_error()) != 0) {
    char text[128];
    ERR_error_string_n(code, text, sizeof(text));
    QV_LOGW(kTag, "%s", text);
  }
}

void BackConnection::Cleanup(const char* reason, int code) {
  // Nothing attached: there is no connection to end or to report.
  if (!initialized_ && fd_ < 0 && ssl_ == nullptr)
    return;
  initialized_ = false;
  QV_LOGD(kTag, "BackConnection Cleanup %s %d", reason, code);
  StreamDispatch* http_thread = owner_ != nullptr ? owner_->http_thread() : nullptr;
  if (http_thread != nullptr)
    http_thread->QuorvinConnectionDone(code);
  Reset();
}

void BackConnection::Reset() {
  QV_LOGD(kTag, "BackConnection reset");
  LinkCounters::Get().GatewayDown();
  if (ssl_ != nullptr) {
    SSL_shutdown(ssl_);
    LogSslErrors();
    CountLinkBytes(ssl_);
    SSL_free(ssl_);
    LogSslErrors();
    ssl_ = nullptr;
    SSL_CTX_free(ssl_ctx_);
    LogSslErrors();
    if (fd_ >= 0) {
      shutdown(fd_, SHUT_WR);
      LogSslErrors();
    }
    ssl_ctx_ = nullptr;
  }
  Unregister();
  if (fd_ >= 0) {
    close(fd_);
    QV_LOGD(kTag, "close fd=%d", fd_);
    fd_ = -1;
  }
  cork_.Reset();
  read_buffer_.Clear();
  events_ = 0;
  read_wants_write_ = false;
  write_wants_read_ = false;
  session_->Reset();
  for (DataFrame* record : output_list_)
    delete record;
  output_list_.clear();
  pending_.clear();
  pending_records_ = 0;
  // Every record went with the connection, so no stream has anything queued any more.
  stream_queue_counts_.clear();
}
