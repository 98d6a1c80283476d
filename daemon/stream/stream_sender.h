#ifndef DAEMON_STREAM_STREAM_SENDER_H
#define DAEMON_STREAM_STREAM_SENDER_H

#include <stddef.h>
#include <stdint.h>

class HttpHeaderList;

// Sending on a gateway stream, as the client side sees it: a request's header lines open its
// stream, its body and its end follow, and a client that leaves early resets it. The gateway
// session implements it. Every call is made on the HttpThread.
class StreamSender {
 public:
  virtual ~StreamSender() {}
  // `headers` is sorted by key. Returns the size of the queued SYN_STREAM frame, 0 when none.
  virtual size_t SendSynImpl(uint32_t stream_id, const HttpHeaderList& headers) = 0;
  // Request body bytes.
  virtual void SendData(uint32_t stream_id, const char* data, size_t len) = 0;
  // The end of the request.
  virtual void SendEndOfStream(uint32_t stream_id) = 0;
  virtual void SendRSTStream(uint32_t stream_id, uint32_t status) = 0;
  // False while the stream already has as many records waiting to be written as it may.
  virtual bool CanWriteToFront(uint32_t stream_id) = 0;
};

#endif  // DAEMON_STREAM_STREAM_SENDER_H
