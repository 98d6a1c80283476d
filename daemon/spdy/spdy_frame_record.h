#ifndef DAEMON_SPDY_SPDY_FRAME_RECORD_H
#define DAEMON_SPDY_SPDY_FRAME_RECORD_H

#include <stddef.h>

#include "net/data_frame.h"
#include "net/free_list.h"
#include "spdy/spdy_frame.h"

// An output record that sends one created frame and owns it: the bytes are freed with the
// frame when the record is destroyed, never through the data pointer.
class SpdyFrameRecord : public DataFrame {
 public:
  // Takes ownership of `frame`, which must not be null: a frame creation that returned none
  // has nothing to send.
  explicit SpdyFrameRecord(SpdyFrame* frame)
      : DataFrame(frame->data(), static_cast<unsigned int>(frame->size()), false), frame_(frame) {}
  ~SpdyFrameRecord() override { delete frame_; }

  // A few records are made and destroyed for every request: their storage is reused.
  static void* operator new(size_t n) { return FreeList<sizeof(SpdyFrameRecord)>::Take(n); }
  static void operator delete(void* p, size_t n) { FreeList<sizeof(SpdyFrameRecord)>::Give(p, n); }

  // The record for `frame`, or none when there is no frame to send.
  static SpdyFrameRecord* Create(SpdyFrame* frame) {
    return frame == nullptr ? nullptr : new SpdyFrameRecord(frame);
  }

  const SpdyFrame* frame() const { return frame_; }

 private:
  SpdyFrame* frame_;
};

#endif  // DAEMON_SPDY_SPDY_FRAME_RECORD_H
