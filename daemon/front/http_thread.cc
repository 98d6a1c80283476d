#include "front/http_thread.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "control/command_notifier.h"
#include "core/logging.h"
#include "front/accept_callback.h"
#include "front/front_connection.h"
#include "front/https_connection.h"
#include "front/queue_limits.h"
#include "stream/gateway_link.h"

namespace {

const char kTag[] = "http_thread";
const int64_t kLoopTimeoutUs = 100000;

void IgnoreSigpipe() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (sigaction(SIGPIPE, &action, nullptr) != 0)
    puts("failed to ignore SIGPIPE; sigaction");
}

}  // namespace

HttpThread::HttpThread(AcceptCallback* accept_callback)
    : Thread("HttpThread"),
      epoll_server_(GetProxyConfig()->max_epoll_fd_size_),
      listen_fd_(accept_callback != nullptr ? accept_callback->listen_fd() : -1),
      accept_callback_(accept_callback),
      own_address_(listen_fd_),
      resolver_(&epoll_server_, kLookupWorkers, kLookupTimeoutMs) {
  if (accept_callback_ != nullptr)
    accept_callback_->set_http_thread(this);
  if (listen_fd_ < 0)
    return;
  // Asked once here rather than of every accepted socket.
  struct sockaddr_in local;
  socklen_t len = sizeof(local);
  if (getsockname(listen_fd_, reinterpret_cast<struct sockaddr*>(&local), &len) == 0 &&
      local.sin_family == AF_INET && local.sin_addr.s_addr != htonl(INADDR_ANY)) {
    memcpy(&listener_addresses_.local, &local, sizeof(local));
    listener_addresses_.local_len = sizeof(local);
  }
  int nodelay = 0;
  len = sizeof(nodelay);
  listener_nodelay_ =
      getsockopt(listen_fd_, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len) == 0 && nodelay != 0;
}

HttpThread::~HttpThread() {
  for (FrontConnection* c : front_connections_)
    delete c;
  front_connections_.clear();
  for (FrontConnection* c : front_destroy_list_)
    delete c;
  front_destroy_list_.clear();
  for (HttpsConnection* c : https_connections_)
    delete c;
  https_connections_.clear();
  for (HttpsConnection* c : https_destroy_list_)
    delete c;
  https_destroy_list_.clear();
  // A descriptor accepted but not yet handed to a connection is ours to close.
  for (const PendingClient& p : pending_fds_)
    close(p.fd);
  pending_fds_.clear();
  for (const PendingClient& p : waiting_fds_)
    close(p.fd);
  waiting_fds_.clear();
  stread_id_map_.clear();
  if (accept_callback_ != nullptr)
    accept_callback_->set_http_thread(nullptr);
}

void HttpThread::RequestStop() {
  stop_.store(true, std::memory_order_release);
  epoll_server_.Wake();
}

void HttpThread::Run() {
  idle_check_counter_ = 0;
  IgnoreSigpipe();
  while (!stop_requested()) {
    epoll_server_.set_timeout_in_us(kLoopTimeoutUs);
    in_callbacks_ = true;
    epoll_server_.WaitForEventsAndExecuteCallbacks();
    in_callbacks_ = false;
    DeliverLookups();
    DestroyFinished();
    HandlePending();
    // Descriptors freed above may let clients in that accept could not take earlier.
    if (accept_callback_ != nullptr)
      accept_callback_->RetryIfBlocked();
    FrontIdleCheck();
    if (gateway_thread_ != nullptr)
      gateway_thread_->PeriodicCheck();
  }
}

void HttpThread::DestroyFinished() {
  for (FrontConnection* c : front_destroy_list_)
    delete c;
  front_destroy_list_.clear();
  for (HttpsConnection* c : https_destroy_list_)
    delete c;
  https_destroy_list_.clear();
}

void HttpThread::HandlePending() {
  // HandleConnection may run callbacks that accept nothing, but take the list first anyway.
  handling_.swap(pending_fds_);
  for (PendingClient& p : handling_) {
    if (!p.has_peer) {
      memset(&p.peer, 0, sizeof(p.peer));
      socklen_t len = sizeof(p.peer);
      getpeername(p.fd, reinterpret_cast<struct sockaddr*>(&p.peer), &len);
    }
    HandleConnection(p.fd, p.peer);
  }
  handling_.clear();
}

void HttpThread::FrontIdleCheck() {
  if (idle_check_counter_++ <= 9)
    return;
  idle_check_counter_ = 0;
  // Idle limits are whole seconds: one walk over the connections a second is enough, and
  // thousands of open connections then cost nothing per request.
  const time_t now = time(nullptr);
  if (now == last_idle_walk_)
    return;
  last_idle_walk_ = now;
  for (auto it = front_connections_.begin(); it != front_connections_.end();) {
    FrontConnection* c = *it;
    ++it;
    c->IdleCheck();
  }
  if (front_connections_.empty() && https_connections_.empty())
    ReleaseIdleMemory();
}

void HttpThread::ReleaseIdleMemory() {
  // Once per idle spell: the next client makes the next spell.
  if (memory_released_)
    return;
  memory_released_ = true;
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 33)
  // glibc keeps what a burst of clients freed (their buffers and queued replies) in its arenas
  // for reuse, holding tens of megabytes after the burst; Android's allocators hand idle pages
  // back on their own. Less than this is not worth the page faults of taking it back.
  const size_t kReleaseFreeBytes = 4 * 1024 * 1024;
  const struct mallinfo2 info = mallinfo2();
  if (info.fordblks < kReleaseFreeBytes)
    return;
  malloc_trim(0);
  QV_LOGD(kTag, "released free memory, %zu KB", info.fordblks / 1024);
#endif
}

int HttpThread::put_to_other_epoll(int fd) {
  return put_to_other_epoll(fd, nullptr);
}

int HttpThread::put_to_other_epoll(int fd, const struct sockaddr_in* peer) {
  if (fd == -1)
    return -1;
  if (stop_requested())
    return -1;
  const GatewayLink::State state = gateway_thread_ != nullptr
                                       ? gateway_thread_->StartConnection(&epoll_server_)
                                       : GatewayLink::kDown;
  if (state == GatewayLink::kDown) {
    QV_LOGW(kTag, "fail StartConnection");
    return -1;
  }
  PendingClient pending;
  pending.fd = fd;
  pending.has_peer = peer != nullptr;
  if (peer != nullptr)
    pending.peer = *peer;
  if (state == GatewayLink::kConnecting) {
    // The connection is on its way without holding up the loop: the client waits for it.
    waiting_fds_.push_back(pending);
    return 0;
  }
  if (!gateway_ready_)
    return -1;
  pending_fds_.push_back(pending);
  // From the loop's own callbacks (the accept loop) the list is taken right after them, in this
  // iteration: a wake-up would only cost a pipe write, two reads and one more iteration.
  if (!in_callbacks_)
    epoll_server_.Wake();
  return 0;
}

void HttpThread::HandleConnection(int fd, const struct sockaddr_in& peer) {
  // A listener with TCP_NODELAY (the proxy's always has it) handed it to the socket already.
  if (GetProxyConfig()->disable_nagle_ && !listener_nodelay_) {
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) {
      close(fd);
      QV_LOGW(kTag, "setsockopt TCP_NODELAY failed, fd=%d", fd);
      return;
    }
  }
  QV_LOGD(kTag, "HandleConnection %d", fd);
  char text[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text)) == nullptr)
    text[0] = '\0';
  const std::string peer_text(text);
  const int peer_port = ntohs(peer.sin_port);
  QV_LOGD(kTag, "receive connection %s %d", peer_text.c_str(), peer_port);
  SocketAddresses* addresses = nullptr;
  if (listener_addresses_.local_len != 0 && peer.sin_family == AF_INET) {
    memcpy(&listener_addresses_.client, &peer, sizeof(peer));
    listener_addresses_.client_len = sizeof(peer);
    addresses = &listener_addresses_;
  }
  FrontConnection* connection = MakeFrontConnection(fd, peer_text, peer_port, addresses);
  if (connection == nullptr) {
    QV_LOGW(kTag, "ProxyThread: MakeFrontConnection failed");
    close(fd);
    return;
  }
}

uint32_t HttpThread::AssignStreamId(FrontConnection* connection) {
  const uint32_t id = next_stream_id_;
  QV_LOGD(kTag, "story streamid %d %p", static_cast<int>(id), static_cast<void*>(connection));
  stread_id_map_[id] = connection;
  next_stream_id_ += 2;
  connection->set_stream_id(id);
  return id;
}

FrontConnection* HttpThread::MakeFrontConnection(int fd, const std::string& peer, int port) {
  return MakeFrontConnection(fd, peer, port, nullptr);
}

FrontConnection* HttpThread::MakeFrontConnection(int fd, const std::string& peer, int port,
                                                 const SocketAddresses* addresses) {
  // The stream id comes with the request (AssignStreamId).
  FrontConnection* connection = new FrontConnection(this, 0, gateway_interface_);
  connection->set_notifier(notifier_);
  if (!connection->Init(fd, peer, port, &epoll_server_, addresses)) {
    delete connection;
    return nullptr;
  }
  QV_LOGD(kTag, "MakeFrontConnection ok %d", fd);
  front_connections_.insert(connection);
  ++front_connection_count_;
  memory_released_ = false;
  return connection;
}

void HttpThread::AddHttpsConnection(HttpsConnection* connection) {
  if (https_connections_.insert(connection).second)
    ++https_connection_count_;
}

FrontConnection* HttpThread::Find(uint32_t stream_id) const {
  auto it = stread_id_map_.find(stream_id);
  return it == stread_id_map_.end() ? nullptr : it->second;
}

void HttpThread::WakeFrontRead(uint32_t stream_id) {
  FrontConnection* c = Find(stream_id);
  if (c == nullptr || !c->waiting_for_output())
    return;
  QV_LOGW(kTag, "WakeFrontRead %u", stream_id);
  c->WakeProcessRead();
}

void HttpThread::QuorvinStreamDone(uint32_t stream_id) {
  QV_LOGD(kTag, "QuorvinStreamDone %u", stream_id);
  FrontConnection* c = Find(stream_id);
  if (c == nullptr) {
    QV_LOGW(kTag, "error QuorvinStreamDone Dropping frame from unknown stream %d",
            static_cast<int>(stream_id));
    return;
  }
  c->SetStreamDone();
}

void HttpThread::OnStatistic(uint32_t stream_id, const char* source_len,
                             const char* compressed_len) {
  if (source_len == nullptr)
    source_len = "";
  if (compressed_len == nullptr)
    compressed_len = "";
  QV_LOGD(kTag, "OnStatistic %d %s %s", static_cast<int>(stream_id), source_len, compressed_len);
  FrontConnection* c = Find(stream_id);
  if (c == nullptr) {
    QV_LOGW(kTag, "Dropping frame from unknown stream %d", static_cast<int>(stream_id));
    return;
  }
  if (notifier_ != nullptr)
    notifier_->ReportCompression(c->source_port(), atoi(source_len), atoi(compressed_len));
}

void HttpThread::ProcessBackInput(uint32_t stream_id, const char* data, size_t len) {
  QV_LOGD(kTag, "ProcessBackInput %u", stream_id);
  FrontConnection* c = Find(stream_id);
  if (c == nullptr) {
    QV_LOGW(kTag, "Dropping frame from unknown stream %d", static_cast<int>(stream_id));
    return;
  }
  QV_LOGD(kTag, "connection %p", static_cast<void*>(c));
  c->ProcessBackInput(data, len);
  if (queued_reply_bytes_ > QueueLimits::kReplyCeiling)
    EnforceReplyCeiling();
}

void HttpThread::QuorvinOnRstStream(uint32_t stream_id) {
  QV_LOGD(kTag, "QuorvinOnRstStream %u", stream_id);
  FrontConnection* c = Find(stream_id);
  if (c == nullptr) {
    QV_LOGW(kTag, "error QuorvinOnRstStream Dropping frame from unknown stream %d",
            static_cast<int>(stream_id));
    return;
  }
  c->set_result_status(1);
  c->Cleanup("rst stream", 5);
}

void HttpThread::QuorvinConnectionStart() {
  gateway_ready_ = true;
  if (notifier_ != nullptr)
    notifier_->OnInformation(4, "CONNECTIONSTART");
  if (waiting_fds_.empty())
    return;
  pending_fds_.insert(pending_fds_.end(), waiting_fds_.begin(), waiting_fds_.end());
  waiting_fds_.clear();
  if (!in_callbacks_)
    epoll_server_.Wake();
}

void HttpThread::QuorvinConnectionFailed() {
  CloseWaiting();
}

void HttpThread::CloseWaiting() {
  // As each would have been closed at its accept, had the attempt been made there.
  std::vector<PendingClient> waiting;
  waiting.swap(waiting_fds_);
  for (const PendingClient& p : waiting) {
    QV_LOGW(kTag, "fail StartConnection");
    QV_LOGW(kTag, "put_to_other_epoll failed,close it, fd=%d", p.fd);
    close(p.fd);
  }
}

void HttpThread::LookUpTunnelTarget(FrontConnection* connection, const std::string& host) {
  const uint64_t ticket = resolver_.Resolve(host);
  connection->set_lookup_ticket(ticket);
  lookups_[ticket] = connection;
}

void HttpThread::DeliverLookups() {
  if (lookups_.empty())
    return;
  resolver_.TakeResults(&lookup_results_);
  for (const AsyncResolver::Result& r : lookup_results_) {
    auto it = lookups_.find(r.ticket);
    if (it == lookups_.end())
      continue;
    FrontConnection* c = it->second;
    lookups_.erase(it);
    c->set_lookup_ticket(0);
    char text[INET_ADDRSTRLEN] = "";
    if (r.code == 0 && inet_ntop(AF_INET, &r.address, text, sizeof(text)) == nullptr)
      text[0] = '\0';
    c->TunnelTargetResolved(r.code == 0 ? text : "");
  }
}

void HttpThread::ReplyBytesQueued(long long delta) {
  queued_reply_bytes_ = static_cast<size_t>(static_cast<long long>(queued_reply_bytes_) + delta);
}

void HttpThread::EnforceReplyCeiling() {
  while (queued_reply_bytes_ > QueueLimits::kReplyCeiling) {
    FrontConnection* largest = nullptr;
    for (FrontConnection* c : front_connections_) {
      if (!c->is_https() &&
          (largest == nullptr || c->queued_reply_bytes() > largest->queued_reply_bytes()))
        largest = c;
    }
    if (largest == nullptr || largest->queued_reply_bytes() == 0)
      return;
    QV_LOGW(kTag, "reply queues hold %zu bytes, more than %zu", queued_reply_bytes_,
            QueueLimits::kReplyCeiling);
    largest->ResetReply("the largest queue when all of them passed the ceiling");
  }
}

void HttpThread::QuorvinConnectionDone(int status) {
  QV_LOGD(kTag, "QuorvinConnectionDone %d", status);
  for (auto it = front_connections_.begin(); it != front_connections_.end();) {
    FrontConnection* c = *it;
    ++it;
    if (!c->is_https())
      c->CloseFromSM();
  }
  gateway_ready_ = false;
  if (notifier_ == nullptr)
    return;
  if (status == 1)
    notifier_->OnInformation(0, "NORMAL");
  else if (status == 2)
    notifier_->OnInformation(1, "TIMEOUT");
  else if (status >= 3 && status <= 7)
    notifier_->OnInformation(3, "CONNECTIONDOWNERR");
}

void HttpThread::FrontConnectionDone(FrontConnection* connection) {
  QV_LOGD(kTag, "FrontConnectionDone ishttps %d", connection->is_https() ? 1 : 0);
  // A connection is told done once; a second report finds it gone.
  if (front_connections_.erase(connection) == 0) {
    QV_LOGW(kTag, "error FrontConnectionDone stream frame from unknown stream");
    return;
  }
  if (connection->lookup_ticket() != 0) {
    resolver_.Cancel(connection->lookup_ticket());
    lookups_.erase(connection->lookup_ticket());
    connection->set_lookup_ticket(0);
  }
  auto it = stread_id_map_.find(connection->stream_id());
  if (it != stread_id_map_.end() && it->second == connection) {
    stread_id_map_.erase(it);
    QV_LOGD(kTag, "stread_id_map_ size %d erase %d", static_cast<int>(stread_id_map_.size()),
            static_cast<int>(connection->stream_id()));
  }
  front_destroy_list_.push_back(connection);
  --front_connection_count_;
}

void HttpThread::HttpsConnectionDone(HttpsConnection* connection) {
  QV_LOGD(kTag, "HttpsConnectionDone");
  // A tunnel is told to close from both of its ends; it is destroyed once.
  if (https_connections_.erase(connection) == 0)
    return;
  https_destroy_list_.push_back(connection);
  --https_connection_count_;
}
