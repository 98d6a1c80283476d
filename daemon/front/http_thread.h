#ifndef DAEMON_FRONT_HTTP_THREAD_H
#define DAEMON_FRONT_HTTP_THREAD_H

#include <netinet/in.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/thread.h"
#include "front/own_address.h"
#include "net/async_resolver.h"
#include "net/epoll_server.h"
#include "net/socket_addresses.h"
#include "stream/stream_dispatch.h"

class AcceptCallback;
class CommandNotifier;
class FrontConnection;
class HttpsConnection;
class GatewayLink;
class StreamSender;

// The proxy's worker thread. Its event loop carries the listening socket, every client
// connection and tunnel, and the gateway connection. It gives each client request an odd
// stream id as the request opens its stream (so ids reach the gateway in increasing order) and
// routes the gateway side's stream events to the client that owns the id.
// Everything but the setters (called before Start), RequestStop and the inspection accessors
// runs on this thread.
class HttpThread : public Thread, public StreamDispatch {
 public:
  explicit HttpThread(AcceptCallback* accept_callback);
  ~HttpThread() override;

  HttpThread(const HttpThread&) = delete;
  HttpThread& operator=(const HttpThread&) = delete;

  void Run() override;

  // Wiring, before Start.
  void set_gateway_thread(GatewayLink* thread) { gateway_thread_ = thread; }
  void set_gateway_interface(StreamSender* gateway) { gateway_interface_ = gateway; }
  void set_notifier(CommandNotifier* notifier) { notifier_ = notifier; }
  StreamSender* gateway_interface() const { return gateway_interface_; }
  CommandNotifier* notifier() const { return notifier_; }

  // Any thread: the loop ends after its current iteration.
  void RequestStop();
  bool stop_requested() const { return stop_.load(std::memory_order_acquire); }

  EpollServer* epoll_server() { return &epoll_server_; }

  // Accept loop: queues an accepted descriptor once the gateway connection is up. 0 queued,
  // -1 refused (the caller closes it). `peer`, when given, is the address accept returned.
  int put_to_other_epoll(int fd);
  int put_to_other_epoll(int fd, const struct sockaddr_in* peer);
  void HandleConnection(int fd, const struct sockaddr_in& peer);
  FrontConnection* MakeFrontConnection(int fd, const std::string& peer, int port);
  // `addresses`, when not null, are both ends of the connection, for its owner's lookup.
  FrontConnection* MakeFrontConnection(int fd, const std::string& peer, int port,
                                       const SocketAddresses* addresses);
  // The next odd stream id, now owned by `connection` (routed to it from then on).
  uint32_t AssignStreamId(FrontConnection* connection);
  void AddHttpsConnection(HttpsConnection* connection);
  void FrontConnectionDone(FrontConnection* connection);
  void HttpsConnectionDone(HttpsConnection* connection);

  // Looks the CONNECT target's name up off the loop; the connection hears of it through
  // TunnelTargetResolved, within kLookupTimeoutMs.
  void LookUpTunnelTarget(FrontConnection* connection, const std::string& host);
  static const int kLookupTimeoutMs = 10000;
  static const int kLookupWorkers = 4;
  // Reply bytes queued for clients changed by `delta`; past the ceiling of all of them the
  // stream with the largest queue is reset (see QueueLimits).
  void ReplyBytesQueued(long long delta);
  size_t queued_reply_bytes() const { return queued_reply_bytes_; }
  // The listening socket's address, to recognise requests that name the proxy itself.
  const OwnAddress* own_address() const { return &own_address_; }

  // StreamDispatch
  void ProcessBackInput(uint32_t stream_id, const char* data, size_t len) override;
  void QuorvinStreamDone(uint32_t stream_id) override;
  void QuorvinOnRstStream(uint32_t stream_id) override;
  void OnStatistic(uint32_t stream_id, const char* source_len, const char* compressed_len) override;
  void WakeFrontRead(uint32_t stream_id) override;
  void QuorvinConnectionStart() override;
  void QuorvinConnectionDone(int status) override;
  void QuorvinConnectionFailed() override;

  int front_connection_count() const { return front_connection_count_; }
  int https_connection_count() const { return https_connection_count_; }
  uint32_t next_stream_id() const { return next_stream_id_; }
  bool gateway_ready() const { return gateway_ready_; }

 private:
  FrontConnection* Find(uint32_t stream_id) const;
  void DestroyFinished();
  void HandlePending();
  void FrontIdleCheck();
  // Hands the lookups that ended to their connections.
  void DeliverLookups();
  // Resets the largest reply queues until all of them together are below the ceiling.
  void EnforceReplyCeiling();
  // Closes the clients that waited for a gateway connection that could not be made.
  void CloseWaiting();
  // With no client left, gives the allocator's free memory back to the system.
  void ReleaseIdleMemory();

  std::map<uint32_t, FrontConnection*> stread_id_map_;
  std::atomic<bool> stop_{false};
  struct PendingClient {
    int fd;
    bool has_peer;
    struct sockaddr_in peer;
  };
  // Accepted descriptors waiting for HandleConnection, and the list HandlePending works on
  // (kept, so that queueing allocates nothing once both have grown).
  std::vector<PendingClient> pending_fds_;
  std::vector<PendingClient> handling_;
  // Accepted while the gateway connection was being made: handed on once it is up, closed when
  // it fails.
  std::vector<PendingClient> waiting_fds_;
  EpollServer epoll_server_;
  int listen_fd_;
  // The listener's own address, the local end of every connection accepted on it, when it is
  // bound to one address.
  SocketAddresses listener_addresses_;
  // Accepted sockets inherit TCP_NODELAY from a listener that has it.
  bool listener_nodelay_ = false;
  AcceptCallback* accept_callback_;
  uint32_t next_stream_id_ = 1;
  GatewayLink* gateway_thread_ = nullptr;
  StreamSender* gateway_interface_ = nullptr;
  std::set<FrontConnection*> front_connections_;
  std::vector<FrontConnection*> front_destroy_list_;
  std::set<HttpsConnection*> https_connections_;
  std::vector<HttpsConnection*> https_destroy_list_;
  int front_connection_count_ = 0;
  int https_connection_count_ = 0;
  int idle_check_counter_ = 0;
  time_t last_idle_walk_ = 0;
  bool memory_released_ = true;
  bool gateway_ready_ = false;
  CommandNotifier* notifier_ = nullptr;
  // Run is inside its loop's callbacks: what they queue is handled before the next wait.
  bool in_callbacks_ = false;
  OwnAddress own_address_;
  size_t queued_reply_bytes_ = 0;
  // Declared after the loop: it wakes the loop, so it goes first.
  AsyncResolver resolver_;
  std::map<uint64_t, FrontConnection*> lookups_;
  std::vector<AsyncResolver::Result> lookup_results_;
};

#endif  // DAEMON_FRONT_HTTP_THREAD_H
