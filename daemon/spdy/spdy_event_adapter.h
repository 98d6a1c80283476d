#ifndef DAEMON_SPDY_SPDY_EVENT_ADAPTER_H
#define DAEMON_SPDY_SPDY_EVENT_ADAPTER_H

#include <stddef.h>
#include <stdint.h>

#include "spdy/spdy_frame.h"
#include "spdy/spdy_framer.h"
#include "spdy/spdy_header_map.h"

// Whole-frame events of the gateway session. Frame views are valid only during the call; the
// header map handle may be kept.
class SessionVisitor {
 public:
  virtual ~SessionVisitor() {}
  virtual void OnSyn(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) = 0;
  virtual void OnSynReply(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) = 0;
  virtual void OnHeaders(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) = 0;
  // len 0 with no data: the stream has ended.
  virtual void OnStreamFrameData(SpdyStreamId stream_id, const char* data, size_t len) = 0;
  virtual void OnError(SpdyFramer::SpdyError error_code) = 0;
  virtual void OnPing(const SpdyFrame& frame) = 0;
  // Received settings are ignored: never called.
  virtual void OnSetting(const SpdyFrame& frame) = 0;
  // The header block of a SYN_REPLY for the stream did not parse; no OnSynReply follows.
  virtual void OnStreamError(SpdyStreamId stream_id) = 0;
  virtual void OnRstStream(const SpdyFrame& frame) = 0;
  virtual void OnGoAway(const SpdyFrame& frame) = 0;
  virtual void OnWindowUpdate(const SpdyFrame& frame) = 0;
};

// Owns the session's framer, collects each decompressed header block, parses it and reports
// whole frames to the session visitor.
class SpdyEventAdapter : public FramerVisitor {
 public:
  static constexpr size_t kHeaderBufferSize = 32768;

  explicit SpdyEventAdapter(SessionVisitor* visitor);
  ~SpdyEventAdapter() override;

  SpdyEventAdapter(const SpdyEventAdapter&) = delete;
  SpdyEventAdapter& operator=(const SpdyEventAdapter&) = delete;

  size_t ProcessInput(const char* data, size_t len) { return framer_.ProcessInput(data, len); }

  // Use the framer's compression contexts: create in sending order. None means the frame could
  // not be made and nothing may be sent for it.
  SpdyFrame* CreateSynStream(SpdyStreamId stream_id, SpdyStreamId associated_stream_id,
                             int priority, uint8_t flags, bool compressed,
                             const SpdyHeaderMap& headers) {
    return framer_.CreateSynStream(stream_id, associated_stream_id, priority, flags, compressed,
                                   headers);
  }
  SpdyFrame* CreateDataFrame(SpdyStreamId stream_id, const char* data, uint32_t len,
                             uint8_t flags) {
    return framer_.CreateDataFrame(stream_id, data, len, flags);
  }

  SpdyFramer::SpdyError error_code() const { return framer_.error_code(); }
  bool HasError() const { return framer_.HasError(); }
  SpdyFramer* framer() { return &framer_; }

  // FramerVisitor
  void OnError(SpdyFramer* framer) override;
  void OnControl(const SpdyFrame& frame) override;
  bool OnControlFrameHeaderData(const SpdyFrame& frame, const char* data, size_t len) override;
  bool OnCredentialFrameData(const char* data, size_t len) override;
  void OnDataFrameStart(const SpdyFrame& frame) override;
  void OnStreamFrameData(SpdyStreamId stream_id, const char* data, size_t len) override;

 private:
  SpdyFramer framer_;
  SessionVisitor* visitor_;
  size_t header_buffer_used_;
  char header_buffer_[kHeaderBufferSize];
};

#endif  // DAEMON_SPDY_SPDY_EVENT_ADAPTER_H
