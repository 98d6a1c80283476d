#ifndef DAEMON_STREAM_STREAM_DISPATCH_H
#define DAEMON_STREAM_STREAM_DISPATCH_H

#include <stddef.h>
#include <stdint.h>

// What the gateway side tells the client side about streams and about the gateway connection.
// The HttpThread implements it and routes each stream event to the client connection that owns
// the stream id. Every call is made on the HttpThread.
class StreamDispatch {
 public:
  virtual ~StreamDispatch() {}
  // Reply bytes (response head or body) for the client of `stream_id`.
  virtual void ProcessBackInput(uint32_t stream_id, const char* data, size_t len) = 0;
  // The gateway ended the reply of the stream.
  virtual void QuorvinStreamDone(uint32_t stream_id) = 0;
  // The gateway reset the stream.
  virtual void QuorvinOnRstStream(uint32_t stream_id) = 0;
  // Image compression figures of the stream's reply, as the gateway wrote them.
  virtual void OnStatistic(uint32_t stream_id, const char* source_len,
                           const char* compressed_len) = 0;
  // The stream may queue request data again.
  virtual void WakeFrontRead(uint32_t stream_id) = 0;
  // A gateway connection has been made.
  virtual void QuorvinConnectionStart() = 0;
  // An attempt that StartConnection left on its way could not be made.
  virtual void QuorvinConnectionFailed() {}
  // The gateway connection ended with a clean-up code (1 to 7).
  virtual void QuorvinConnectionDone(int status) = 0;
};

#endif  // DAEMON_STREAM_STREAM_DISPATCH_H
