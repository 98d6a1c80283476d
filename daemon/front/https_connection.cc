#include "front/https_connection.h"

#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/error_text.h"
#include "core/logging.h"
#include "front/front_connection.h"
#include "front/http_thread.h"
#include "front/queue_limits.h"
#include "net/create_listener.h"

namespace {

const char kTag[] = "https_connection";
const char kEstablished[] = "HTTP/1.0 200 Connection established\r\n\r\n";

}  // namespace

HttpsConnection::HttpsConnection(FrontConnection* front)
    : SocketConnection(kTag, kReadBufferSize),
      writer_(kTag, "https conn,byte sent >= max bytes sent per write: Setting EPOLLOUT",
              kMaxBytesSentPerWrite, true),
      front_(front) {}

HttpsConnection::~HttpsConnection() {
  // Also releases a socket that was opened but never registered.
  Close();
}

bool HttpsConnection::ConnectToTarget(const std::string& ip, const std::string& port,
                                      EpollServer* loop) {
  if (initialized_) {
    QV_LOGW(kTag, "already init");
    return true;
  }
  const int result = CreateConnectedSocket(&fd_, ip, port, true, true, true);
  if (result < 0) {
    QV_LOGW(kTag, "Can't create connect socket");
    return false;
  }
  if (result == 1)
    Established();
  QV_LOGD(kTag, "create https socket fd=%d, then register to epoll %s", fd_, ip.c_str());
  epoll_server_ = loop;
  if (!loop->TryRegisterFD(fd_, this, EPOLLIN | EPOLLOUT | EPOLLET))
    return false;
  server_ip_ = ip;
  read_buffer_.Clear();
  initialized_ = true;
  return true;
}

void HttpsConnection::Established() {
  connected_ = true;
  front_->ProcessBackInput(kEstablished, sizeof(kEstablished) - 1);
  QV_LOGD(kTag, "Connect success");
}

void HttpsConnection::ProcessInput(const char* data, size_t len) {
  QV_LOGD(kTag, "ProcessInput %d", static_cast<int>(len));
  char* copy = new char[len > 0 ? len : 1];
  if (len > 0)
    memcpy(copy, data, len);
  EnqueueDataFrame(new DataFrame(copy, static_cast<unsigned int>(len), true));
  // A target that takes too little stops the reading of the application's side.
  if (writer_.queued_bytes() >= QueueLimits::kTunnelHighMark)
    front_->PauseRead();
}

void HttpsConnection::EnqueueDataFrame(DataFrame* frame) {
  writer_.Push(frame);
  QV_LOGD(kTag, "EnqueueDataFrame1 size=%zd", static_cast<ssize_t>(frame->size));
  SetFdReadyForWrite();
}

void HttpsConnection::SetFdReadyForWrite() {
  QV_LOGD(kTag, "set fd %d ready", fd_);
  AskForWrite();
}

void HttpsConnection::HandleEvents() {
  // A target that speaks first makes the socket readable as it connects: the 200 must reach the
  // application before any byte of the target's, so the connect is judged before any read.
  if (!connected_ && (events_ & (EPOLLIN | EPOLLOUT))) {
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
      // No error value to judge by: the connect cannot be trusted.
      QV_LOGW(kTag, "getsockopt error:%s", ErrorText(errno).c_str());
      Cleanup("connect failed", 4);
      return;
    }
    if (error == 0) {
      // SO_ERROR is also 0 while the connect is still going on (a write queued early
      // fakes this event): only a socket with a peer is connected.
      struct sockaddr_in peer;
      socklen_t peer_len = sizeof(peer);
      if (getpeername(fd_, reinterpret_cast<struct sockaddr*>(&peer), &peer_len) != 0 &&
          errno == ENOTCONN)
        error = EINPROGRESS;
    }
    if (error == EINPROGRESS) {
      events_ &= ~(EPOLLIN | EPOLLOUT);
      return;
    }
    if (error != 0) {
      QV_LOGW(kTag, "error connecting to server");
      Cleanup("connect failed", 4);
      return;
    }
    Established();
  }
  if (events_ & EPOLLIN) {
    if (!DoRead())
      return;
  }
  if (events_ & EPOLLOUT) {
    if (!DoWrite())
      return;
  }
  if (events_ & (EPOLLERR | EPOLLHUP)) {
    QV_LOGW(kTag, "https get hup or err!");
    Cleanup("HandleEvents", 4);
  }
}

bool HttpsConnection::DoRead() {
  QV_LOGD(kTag, "https Doread");
  return ReceiveAll(server_ip_, "https");
}

bool HttpsConnection::OnReceived(char* data, size_t len) {
  QV_LOGD(kTag, "read %ld bytes", static_cast<long>(len));
  // The front connection copies the bytes: the buffer is free for the next read at once.
  front_->ProcessBackInput(data, len);
  read_buffer_.Clear();
  return true;
}

bool HttpsConnection::DoWrite() {
  if (fd_ == -1) {
    QV_LOGW(kTag, "DoWrite: fd == -1. Returning false.");
    return false;
  }
  const SocketWriter::Result result = writer_.Write(fd_, server_ip_, &events_, this);
  if (result == SocketWriter::kBlocked)
    return true;
  if (result == SocketWriter::kFailed) {
    QV_LOGW(kTag, "DoWrite: error_or_close. Returning false");
    Cleanup("DoWrite", 4);
    return false;
  }
  return true;
}

void HttpsConnection::OnBytesSent(size_t n) {
  QV_LOGD(kTag, "http send: %ld bytes", static_cast<long>(n));
  if (front_->read_paused() && writer_.queued_bytes() <= QueueLimits::kTunnelLowMark)
    front_->ResumeRead();
}

void HttpsConnection::Cleanup(const char* reason, int code) {
  initialized_ = false;
  QV_LOGD(kTag, "HttpsConnection Cleanup fd %s %s %d %d", server_ip_.c_str(), reason, fd_, code);
  front_->CloseFromSM();
  Close();
}

void HttpsConnection::CloseFromSM() {
  QV_LOGD(kTag, "HttpsConnection CloseFromSM");
  Close();
  front_->http_thread()->HttpsConnectionDone(this);
}

void HttpsConnection::Close() {
  Unregister();
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  read_buffer_.Clear();
  connected_ = false;
  events_ = 0;
  writer_.Clear();
}
