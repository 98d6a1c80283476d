#include "front/front_connection.h"

#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "control/command_notifier.h"
#include "core/error_text.h"
#include "core/link_counters.h"
#include "core/logging.h"
#include "front/http_interface.h"
#include "front/http_thread.h"
#include "front/https_connection.h"
#include "front/queue_limits.h"
#include "net/reply_chunk.h"
#include "stream/stream_sender.h"

namespace {

const char kTag[] = "front_connection";
const int kCancel = 5;
const char kBadRequestHead[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

}  // namespace

FrontConnection::FrontConnection(HttpThread* http_thread, uint32_t stream_id, StreamSender* gateway)
    // A client that has sent nothing yet holds no read buffer.
    : SocketConnection(kTag, kReadBufferSize, true),
      writer_(kTag, "Frontend conn,byte sent >= max bytes sent per write: Setting EPOLLOUT",
              kMaxBytesPerWrite, false),
      request_interface_(new HttpInterface(this, gateway)),
      http_thread_(http_thread),
      last_activity_(time(nullptr)),
      stream_id_(stream_id) {
  memset(&start_time_, 0, sizeof(start_time_));
}

FrontConnection::~FrontConnection() {
  if (initialized_)
    Close();
  delete request_interface_;
}

bool FrontConnection::Init(int fd, const std::string& peer_address, int source_port,
                           EpollServer* eps) {
  return Init(fd, peer_address, source_port, eps, nullptr);
}

bool FrontConnection::Init(int fd, const std::string& peer_address, int source_port,
                           EpollServer* eps, const SocketAddresses* addresses) {
  if (initialized_) {
    QV_LOGW(kTag, "already init");
    return true;
  }
  QV_LOGD(kTag, "Init %d", fd);
  gettimeofday(&start_time_, nullptr);
  epoll_server_ = eps;
  fd_ = fd;
  // EPOLLRDHUP tells a drained socket from one whose client has shut its side (ReceiveAll).
  const int mask = EPOLLIN | EPOLLOUT | EPOLLET | EPOLLRDHUP;
  short_read_drains_ = true;
  peer_shut_ = false;
  const bool registered = addresses != nullptr ? eps->TryRegisterNonBlockingFD(fd, this, mask)
                                               : eps->TryRegisterFD(fd, this, mask);
  if (!registered) {
    process_read_pending_ = false;
    // The caller still owns the descriptor and closes it.
    fd_ = -1;
    return false;
  }
  peer_address_ = peer_address;
  source_port_ = source_port;
  peer_label_ = peer_address + ":" + std::to_string(source_port);
  read_buffer_.Clear();
  initialized_ = true;
  // The client socket's owner cannot change while it is open: looked up once, here.
  if (notifier_ != nullptr)
    notifier_->ConnectionAccepted(source_port_, fd_, addresses);
  return true;
}

void FrontConnection::HandleEvents() {
  if (events_ & EPOLLIN) {
    if (!DoRead())
      return;
  }
  if (events_ & EPOLLOUT) {
    // SO_ERROR is non-zero only with a socket error pending, and the kernel reports every such
    // error with EPOLLERR: read it then, not on every writable event of every client.
    int error = 0;
    socklen_t len = sizeof(error);
    if ((events_ & EPOLLERR) && getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
      QV_LOGW(kTag, "getsockopt error:%s", ErrorText(errno).c_str());
    if (error == EINPROGRESS) {
      events_ &= ~EPOLLOUT;
      return;
    }
    if (error != 0) {
      QV_LOGW(kTag, "error connecting to server");
      Cleanup("connect failed", 4);
      return;
    }
    if (!DoWrite())
      return;
  }
  if (events_ & (EPOLLERR | EPOLLHUP)) {
    QV_LOGW(kTag, "Frontend get hup or err!");
    Cleanup("HandleEvents", 4);
  }
}

bool FrontConnection::DoRead() {
  QV_LOGD(kTag, "Frontend Doread");
  if (process_read_pending_) {
    process_read_pending_ = false;
    if (!ProcessRead()) {
      Cleanup("DoRead", 6);
      return false;
    }
  }
  return ReceiveAll(peer_label_, "Frontend");
}

bool FrontConnection::OnReceived(char*, size_t len) {
  const long n = static_cast<long>(len);
  QV_LOGW(kTag, "read GetSourcePort is %d", source_port_);
  if (notifier_ != nullptr)
    notifier_->ReportFlow(source_port_, static_cast<int>(len), 1);
  LinkCounters::Get().AddAppUp(static_cast<uint64_t>(len));
  QV_LOGW(kTag, "Front_connection_doRead_OnStatistic, bytes_read = %ld", n);
  QV_LOGW(kTag, "read %ld bytes %d", n, is_https_ ? 1 : 0);
  last_activity_ = time(nullptr);
  if (refused_) {
    // Read only so that the close after the 400 is not a reset that could take it away.
    read_buffer_.Clear();
  } else if (tunnel_ != nullptr) {
    FlushToTunnel();
  } else if (is_https_) {
    // A CONNECT whose tunnel could not be made: nothing takes these bytes. While its target is
    // looked up they wait for it (reading stops when the buffer is full).
    if (!tunnel_pending_)
      read_buffer_.Clear();
  } else if (!ProcessRead()) {
    Cleanup("DoRead", 6);
    return false;
  }
  return true;
}

bool FrontConnection::ProcessRead() {
  for (;;) {
    char* region;
    int size;
    read_buffer_.GetReadableRegion(&region, &size);
    if (size <= 0)
      break;
    if (waiting_for_output_) {
      QV_LOGW(kTag, "waiting_for_output_");
      return true;
    }
    if (!request_interface_->ReadyForMore(stream_id_)) {
      QV_LOGW(kTag, "Can't Read More");
      waiting_for_output_ = true;
      return true;
    }
    const size_t consumed = request_interface_->ProcessReadInput(region, static_cast<size_t>(size));
    QV_LOGD(kTag, "FrontConnection consumed %zd bytes", static_cast<ssize_t>(consumed));
    if (consumed == 0)
      return true;
    read_buffer_.Consume(static_cast<int>(consumed));
    if (request_interface_->Error()) {
      QV_LOGW(kTag, "Framer error detected: Setting EPOLLOUT:%s",
              request_interface_->ErrorAsString());
      if (request_interface_->HeadRefused()) {
        RefuseRequest();
        return true;
      }
      events_ |= EPOLLOUT;
      return false;
    }
    if (refused_)
      return true;
    if (tunnel_ != nullptr) {
      // The request became a tunnel: whatever followed its header block belongs to it.
      FlushToTunnel();
      return true;
    }
    if (is_https_) {
      if (!tunnel_pending_)
        read_buffer_.Clear();
      return true;
    }
  }
  return true;
}

void FrontConnection::FlushToTunnel() {
  for (;;) {
    char* region;
    int size;
    read_buffer_.GetReadableRegion(&region, &size);
    if (size <= 0)
      return;
    tunnel_->ProcessInput(region, static_cast<size_t>(size));
    read_buffer_.Consume(size);
  }
}

void FrontConnection::WakeProcessRead() {
  QV_LOGW(kTag, "WakeProcessRead");
  if (epoll_server_ != nullptr)
    epoll_server_->SetFDReady(fd_, EPOLLIN);
  process_read_pending_ = true;
  waiting_for_output_ = false;
}

void FrontConnection::ProcessBackInput(const char* data, size_t len) {
  // Bytes for the client keep nothing alive: only bytes that move on its socket do.
  if (writer_.queued_bytes() == 0)
    stall_since_ = time(nullptr);
  // Bytes that come while the last record still waits join it: one send takes both.
  if (len > 0 && writer_.AppendToLast(data, len))
    SetFdReadyForWrite();
  else
    EnqueueDataFrame1(new ReplyChunk(data, len));
  if (tunnel_ != nullptr) {
    if (writer_.queued_bytes() >= QueueLimits::kTunnelHighMark)
      tunnel_->PauseRead();
    return;
  }
  // The answer of a tunnel, or of a refused request: no stream's reply.
  if (is_https_ || refused_)
    return;
  CountReplyBytes(static_cast<long long>(len));
  if (writer_.queued_bytes() > QueueLimits::kReplyHardCap)
    ResetReply("more than the hard cap");
}

void FrontConnection::CountReplyBytes(long long delta) {
  counted_reply_bytes_ = static_cast<size_t>(static_cast<long long>(counted_reply_bytes_) + delta);
  if (http_thread_ != nullptr)
    http_thread_->ReplyBytesQueued(delta);
}

void FrontConnection::RefuseRequest() {
  if (refused_)
    return;
  refused_ = true;
  read_buffer_.Clear();
  ProcessBackInput(kBadRequestHead, sizeof(kBadRequestHead) - 1);
  SetStreamDone();
}

void FrontConnection::ResetReply(const char* why) {
  QV_LOGW(kTag, "stream %u: %zu reply bytes wait for the client (%s): reset", stream_id_,
          writer_.queued_bytes(), why);
  // Whatever was written, the client must not take it for the whole reply.
  reply_cut_ = true;
  Cleanup("reply queue limit", 7);
}

void FrontConnection::TunnelTargetResolved(const std::string& address) {
  tunnel_pending_ = false;
  request_interface_->OpenTunnelTo(address);
  if (tunnel_ == nullptr || !initialized_)
    return;
  // What the client sent early goes first; a full buffer had stopped reading.
  FlushToTunnel();
  if (epoll_server_ != nullptr)
    epoll_server_->SetFDReady(fd_, EPOLLIN);
}

void FrontConnection::EnqueueDataFrame1(DataFrame* frame) {
  writer_.Push(frame);
  QV_LOGD(kTag, "EnqueueDataFrame1 size=%zd", static_cast<ssize_t>(frame->size));
  SetFdReadyForWrite();
}

void FrontConnection::SetFdReadyForWrite() {
  QV_LOGD(kTag, "set fd %d ready", fd_);
  AskForWrite();
}

void FrontConnection::CloseFromSM() {
  QV_LOGD(kTag, "FrontConnection CloseFromSM");
  // Only a reply of the gateway's can be cut: a tunnel's end is a normal close, and a client
  // without a stream has no reply to lose.
  if (!stream_done_ && !is_https_ && request_interface_->SynSent())
    reply_cut_ = true;
  SetStreamDone();
}

void FrontConnection::SetStreamDone() {
  stream_done_ = true;
  // With everything already written no writable event would come to close the connection.
  SetFdReadyForWrite();
}

bool FrontConnection::DoWrite() {
  if (fd_ == -1) {
    QV_LOGW(kTag, "DoWrite: fd == -1. Returning false.");
    return false;
  }
  const SocketWriter::Result result = writer_.Write(fd_, peer_label_, &events_, this);
  if (result == SocketWriter::kBlocked)
    return true;
  if (result == SocketWriter::kFailed) {
    QV_LOGW(kTag, "DoWrite: error_or_close. Returning false");
    Cleanup("DoWrite", 4);
    return false;
  }
  if (writer_.empty() && stream_done_) {
    Cleanup("DoWrite", 5);
    return false;
  }
  return true;
}

void FrontConnection::OnBytesSent(size_t n) {
  QV_LOGW(kTag, "write GetSourcePort is %d", source_port_);
  if (notifier_ != nullptr)
    notifier_->ReportFlow(source_port_, static_cast<int>(n), 0);
  LinkCounters::Get().AddAppDown(static_cast<uint64_t>(n));
  QV_LOGW(kTag, "Front_connection_doWrite_OnStatistic, bytes_written = %ld", static_cast<long>(n));
  QV_LOGW(kTag, "http send: %ld bytes", static_cast<long>(n));
  // A client still taking a long reply is not idle, however early the reply arrived.
  last_activity_ = time(nullptr);
  stall_since_ = last_activity_;
  if (counted_reply_bytes_ > 0)
    CountReplyBytes(-static_cast<long long>(n < counted_reply_bytes_ ? n : counted_reply_bytes_));
  if (tunnel_ != nullptr && tunnel_->read_paused() &&
      writer_.queued_bytes() <= QueueLimits::kTunnelLowMark)
    tunnel_->ResumeRead();
}

bool FrontConnection::IdleCheck() {
  const time_t now = time(nullptr);
  if (!is_https_ && writer_.queued_bytes() > QueueLimits::kReplySoftCap &&
      now - stall_since_ >= QueueLimits::kReplyStallSeconds) {
    ResetReply("the client took none for the stall time");
    return true;
  }
  if (now - last_activity_ > static_cast<time_t>(GetProxyConfig()->max_frontend_time_)) {
    Cleanup("FrontConnection idle timeout reached.", 2);
    return true;
  }
  return false;
}

void FrontConnection::Close() {
  Unregister();
  if (fd_ >= 0) {
    if (reply_cut_) {
      struct linger abort_close = {1, 0};
      setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_close, sizeof(abort_close));
    }
    close(fd_);
    fd_ = -1;
    // The port may next be another application's: its UID is looked up again.
    if (notifier_ != nullptr)
      notifier_->ConnectionClosed(source_port_);
  }
  // The buffer's storage goes back for the next client.
  read_buffer_.Release();
  events_ = 0;
  writer_.Clear();
  if (counted_reply_bytes_ > 0)
    CountReplyBytes(-static_cast<long long>(counted_reply_bytes_));
  process_read_pending_ = false;
}

void FrontConnection::Cleanup(const char* reason, int code) {
  initialized_ = false;
  struct timeval now;
  gettimeofday(&now, nullptr);
  const long lifetime_ms =
      static_cast<long>((static_cast<int64_t>(now.tv_sec) - start_time_.tv_sec) * 1000 +
                        (static_cast<int64_t>(now.tv_usec) - start_time_.tv_usec) / 1000);
  QV_LOGD(kTag, "FrontConnection %s %d Cleanup fd %s %d %d", peer_address_.c_str(), source_port_,
          reason, fd_, code);
  HttpsConnection* tunnel = tunnel_;
  if (tunnel != nullptr) {
    // The tunnel goes to the HttpThread's destroy list; never touch it again.
    tunnel_ = nullptr;
    tunnel->CloseFromSM();
  }
  if (code == 2)
    result_status_ = 2;
  if (tunnel == nullptr && !request_method_.empty()) {
    QV_LOGD(kTag, "res method:%s,url:%s time:%ld,res_status:%d streamid:%d",
            request_method_.c_str(), request_url_.c_str(), lifetime_ms, result_status_,
            static_cast<int>(stream_id_));
  }
  // Whatever ends the connection before the end of its reply (a gateway reset, the proxy
  // stopping, the idle time, an unreadable request), the client must not take what it got for
  // the whole reply.
  if (!stream_done_ && !is_https_ && request_interface_->SynSent())
    reply_cut_ = true;
  // A client that leaves (closed, idle, broken, or its request unreadable) before its reply
  // ended cancels its stream, or the gateway would go on with it. Only a stream the gateway
  // knows of and has not finished: a tunnel or a client that never sent a complete header
  // block has no stream there.
  const bool client_left = code == 2 || code == 3 || code == 4 || code == 6 || code == 7;
  if (client_left && !stream_done_ && request_interface_->SynSent() &&
      request_interface_->gateway() != nullptr)
    request_interface_->gateway()->SendRSTStream(stream_id_, kCancel);
  Close();
  if (http_thread_ != nullptr)
    http_thread_->FrontConnectionDone(this);
}
