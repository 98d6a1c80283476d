#ifndef DAEMON_GATEWAY_QUORVIN_INTERFACE_H
#define DAEMON_GATEWAY_QUORVIN_INTERFACE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "spdy/spdy_event_adapter.h"
#include "stream/stream_sender.h"

class BackConnection;
class DataFrame;
class HttpHeaderList;
class StreamDispatch;

// The daemon's side of the SPDY session with the gateway: requests become streams, replies
// become HTTP/1.1 for the client side (their headers by HeaderTranslation). Runs on the
// HttpThread, except the device id and image level setters, which the control thread calls
// while the proxy runs.
class QuorvinInterface : public SessionVisitor, public StreamSender {
 public:
  explicit QuorvinInterface(StreamDispatch* http_thread);
  ~QuorvinInterface() override;

  QuorvinInterface(const QuorvinInterface&) = delete;
  QuorvinInterface& operator=(const QuorvinInterface&) = delete;

  // The back connection, set when it is initialised.
  void set_connection(BackConnection* connection);
  BackConnection* connection() const;
  // Fresh framer and compression contexts; GOAWAY and ping state cleared.
  void Reset();

  // Any thread.
  void SetDeviceId(const std::string& device_id);
  std::string device_id() const;
  void SetQuality2(int level);
  int image_level() const;

  // StreamSender: the client side, with the stream id it was given.
  size_t SendSynImpl(uint32_t stream_id, const HttpHeaderList& headers) override;
  // Request body bytes, in data frames of at most 1,024 bytes, none with FIN.
  void SendData(uint32_t stream_id, const char* data, size_t len) override;
  // The end of the request: one empty data frame with FIN.
  void SendEndOfStream(uint32_t stream_id) override;
  void SendRSTStream(uint32_t stream_id, uint32_t status) override;
  // True while fewer than MAX_SESSION_QUEUE_SIZE records of the stream wait to be written.
  bool CanWriteToFront(uint32_t stream_id) override;

  void SendPingFrame();
  // The back connection wrote one of the stream's records and its count is below the limit:
  // a client that CanWriteToFront told to wait may go on.
  void WakeStream(uint32_t stream_id);

  // Back connection side.
  size_t ProcessInput(const char* data, size_t len);
  bool GoAwayReceived() const;
  bool HasError() const;
  const char* ErrorText() const;
  bool ping_outstanding() const;
  time_t ping_sent_time() const;

  // SessionVisitor
  void OnSyn(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) override;
  void OnSynReply(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) override;
  void OnHeaders(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) override;
  void OnStreamFrameData(SpdyStreamId stream_id, const char* data, size_t len) override;
  void OnError(SpdyFramer::SpdyError error_code) override;
  void OnPing(const SpdyFrame& frame) override;
  void OnSetting(const SpdyFrame& frame) override;
  void OnStreamError(SpdyStreamId stream_id) override;
  void OnRstStream(const SpdyFrame& frame) override;
  void OnGoAway(const SpdyFrame& frame) override;
  void OnWindowUpdate(const SpdyFrame& frame) override;

  // What the client of a stream gets when the gateway's reply has no status or version.
  static const char kBadGatewayHead[];

 private:
  // A connection is attached and active: only then may frames be made from the session's
  // compression contexts.
  bool Connected() const;
  void SendDataFrames(uint32_t stream_id, const char* data, size_t len, uint8_t flags);
  void EnqueueBackendDataFrame(DataFrame* record, uint32_t stream_id);
  void EnqueueDataFrame(DataFrame* record);
  // Answers the stream's client with the 502 head, ends the stream there and resets it at the
  // gateway; `op` and `why` make the WARN line.
  void RejectReply(uint32_t stream_id, const char* op, const char* why);
  // Where each stream's reply stands, so that bytes without a head, a second head or bytes
  // after the end never reach a client.
  enum ReplyState { kReplied, kEnded, kRejected };
  void SetReplyState(uint32_t stream_id, ReplyState state);

  BackConnection* connection_ = nullptr;
  std::unique_ptr<SpdyEventAdapter> adapter_;
  // Adapters replaced while their framer was still parsing; freed once it has returned.
  std::vector<std::unique_ptr<SpdyEventAdapter>> retired_adapters_;
  int input_depth_ = 0;
  StreamDispatch* http_thread_;
  time_t ping_sent_time_ = 0;
  time_t last_ping_reply_time_ = 0;
  uint32_t next_ping_id_ = 1;
  bool ping_outstanding_ = false;
  mutable std::mutex device_id_mutex_;
  std::string device_id_;
  int state_ = 0;
  std::atomic<int> image_level_;
  // Streams that had their reply head, their end, or were answered with the 502 head (or
  // reset by us): whatever else the gateway sends for a rejected one is dropped. At most
  // kMaxReplyStates entries; the oldest (smallest) ids go first.
  static const size_t kMaxReplyStates = 4096;
  std::map<uint32_t, ReplyState> reply_states_;
  // Streams whose client CanWriteToFront told to wait, until they are woken.
  std::set<uint32_t> waiting_streams_;
};

#endif  // DAEMON_GATEWAY_QUORVIN_INTERFACE_H
