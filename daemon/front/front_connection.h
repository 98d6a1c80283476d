#ifndef DAEMON_FRONT_FRONT_CONNECTION_H
#define DAEMON_FRONT_FRONT_CONNECTION_H

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#include <string>

#include "net/data_frame.h"
#include "net/epoll_server.h"
#include "net/free_list.h"
#include "net/socket_addresses.h"
#include "net/socket_connection.h"
#include "net/socket_writer.h"

class CommandNotifier;
class HttpInterface;
class HttpThread;
class HttpsConnection;
class StreamSender;

// One accepted connection from a local application, carrying one request (one stream id, given
// when the request opens its stream).
// It reads the request into its ring buffer and feeds it to its HttpInterface, writes the
// reply bytes the gateway side hands it, reports every byte count to the notifier, and closes
// itself on errors, client close, idle timeout, gateway reset and after the whole reply was
// written. For CONNECT it relays raw bytes to and from its tunnel instead. Runs on the
// HttpThread only.
class FrontConnection : public SocketConnection, private SocketWriter::Observer {
 public:
  static const int kReadBufferSize = 10240;
  static const int kMaxBytesPerWrite = 10240;

  FrontConnection(HttpThread* http_thread, uint32_t stream_id, StreamSender* gateway);

  ~FrontConnection() override;

  FrontConnection(const FrontConnection&) = delete;
  FrontConnection& operator=(const FrontConnection&) = delete;

  // One of these is made and destroyed for every client: the storage is reused.
  static void* operator new(size_t n) { return FreeList<sizeof(FrontConnection), 64>::Take(n); }
  static void operator delete(void* p, size_t n) {
    FreeList<sizeof(FrontConnection), 64>::Give(p, n);
  }

  virtual void SetFdReadyForWrite();
  void Cleanup(const char* reason, int code) override;
  // Takes ownership of the record.
  virtual void EnqueueDataFrame1(DataFrame* frame);
  // The gateway connection ended: close once the queued output is written.
  virtual void CloseFromSM();

  bool Init(int fd, const std::string& peer_address, int source_port, EpollServer* eps);
  // `addresses`, when not null, are both ends of the connection as accepted: the descriptor is
  // non-blocking already, and its owner is looked up by them.
  bool Init(int fd, const std::string& peer_address, int source_port, EpollServer* eps,
            const SocketAddresses* addresses);
  // Copies reply (or tunnel) bytes into the output list. A reply whose queue passes the hard
  // cap resets its stream and the client (see QueueLimits); a tunnel whose queue passes the
  // high mark stops reading its target.
  void ProcessBackInput(const char* data, size_t len);
  // Answers "400 Bad Request" and closes once it is written; what the client sends meanwhile
  // is read and dropped.
  void RefuseRequest();
  // Resets the reply's stream at the gateway and the client connection (a TCP reset): the
  // client took too little of its reply. `why` goes into the WARN line.
  void ResetReply(const char* why);
  // The CONNECT target is being looked up: bytes the client sends meanwhile stay buffered.
  void set_tunnel_pending(bool pending) { tunnel_pending_ = pending; }
  bool tunnel_pending() const { return tunnel_pending_; }
  // The HttpThread's ticket of that lookup; 0 when none runs.
  void set_lookup_ticket(uint64_t ticket) { lookup_ticket_ = ticket; }
  uint64_t lookup_ticket() const { return lookup_ticket_; }
  // The lookup ended: `address` is the dotted address, empty when the name did not resolve.
  void TunnelTargetResolved(const std::string& address);
  // Reply bytes queued for the client and not yet written.
  size_t queued_reply_bytes() const { return writer_.queued_bytes(); }
  // The gateway side can take request data again: process what is buffered.
  void WakeProcessRead();
  // No more reply data will come: close once the queued output is written.
  void SetStreamDone();
  // True when it closed the connection for being silent too long, or for a reply its client
  // stopped taking (the soft cap and the stall time of QueueLimits).
  bool IdleCheck();

  void set_notifier(CommandNotifier* notifier) { notifier_ = notifier; }
  void set_request(const std::string& method, const std::string& url) {
    request_method_ = method;
    request_url_ = url;
  }
  void set_is_https(bool is_https) { is_https_ = is_https; }
  void set_tunnel(HttpsConnection* tunnel) { tunnel_ = tunnel; }
  void set_result_status(int status) { result_status_ = status; }
  void set_stream_id(uint32_t stream_id) { stream_id_ = stream_id; }

  bool is_https() const { return is_https_; }
  HttpsConnection* tunnel() const { return tunnel_; }
  uint32_t stream_id() const { return stream_id_; }
  int source_port() const { return source_port_; }
  bool waiting_for_output() const { return waiting_for_output_; }
  bool stream_done() const { return stream_done_; }
  bool initialized() const { return initialized_; }
  HttpThread* http_thread() const { return http_thread_; }
  HttpInterface* request_interface() const { return request_interface_; }

 private:
  void HandleEvents() override;
  bool OnReceived(char* data, size_t len) override;
  bool DoRead();
  bool DoWrite();
  bool ProcessRead();
  // Hands what is buffered to the tunnel (bytes that followed the CONNECT request).
  void FlushToTunnel();
  void Close();
  // SocketWriter::Observer
  void OnBytesSent(size_t n) override;
  // The reply queue changed by `delta` bytes: the HttpThread keeps the total of all of them.
  void CountReplyBytes(long long delta);

  CommandNotifier* notifier_ = nullptr;
  bool initialized_ = false;
  SocketWriter writer_;
  HttpInterface* request_interface_;
  HttpThread* http_thread_;
  bool process_read_pending_ = false;
  bool stream_done_ = false;
  // The reply stopped before its end: the gateway connection went down, or the gateway reset
  // the stream. The client then gets a reset rather than a close, so that a reply framed by
  // the close of its connection never looks whole.
  bool reply_cut_ = false;
  bool is_https_ = false;
  HttpsConnection* tunnel_ = nullptr;
  std::string peer_address_;
  // "address:port", as the error lines name the client.
  std::string peer_label_;
  int source_port_ = 0;
  // The last time a byte moved on the client's own socket.
  time_t last_activity_;
  // Since when the client has taken nothing of a queued reply: the last write, or the moment
  // the queue began to fill.
  time_t stall_since_ = 0;
  // Reply bytes this connection has counted in the HttpThread's total.
  size_t counted_reply_bytes_ = 0;
  bool refused_ = false;
  bool tunnel_pending_ = false;
  uint64_t lookup_ticket_ = 0;
  uint32_t stream_id_;
  bool waiting_for_output_ = false;
  struct timeval start_time_;
  std::string request_method_;
  std::string request_url_;
  int result_status_ = 0;
};

#endif  // DAEMON_FRONT_FRONT_CONNECTION_H
