#ifndef DAEMON_SPDY_SPDY_FRAME_H
#define DAEMON_SPDY_SPDY_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include "spdy/spdy_protocol.h"

// A view over one frame's bytes, starting at the 8-byte common header. The view either owns the
// bytes (frames made by size, frames handed out by the builder) or borrows them (the framer's
// buffered frames, valid only during a visitor call). All fields are big-endian on the wire.
class SpdyFrame {
 public:
  static constexpr size_t kHeaderSize = 8;

  // Allocates `size` zero-filled bytes and owns them.
  explicit SpdyFrame(size_t size);
  // Views `data`; frees it with delete[] on destruction only when `owns_buffer`.
  SpdyFrame(char* data, bool owns_buffer);
  ~SpdyFrame();

  SpdyFrame(const SpdyFrame&) = delete;
  SpdyFrame& operator=(const SpdyFrame&) = delete;

  char* data() const { return frame_; }
  bool owns_buffer() const { return owns_buffer_; }

  // Common header.
  bool is_control_frame() const;
  uint16_t version() const;  // control frames only
  uint16_t type() const;     // control frames only
  uint8_t flags() const;
  uint32_t length() const;  // bytes after the 8-byte header
  // Rewrites the 24-bit length, keeping the flags byte.
  void set_length(uint32_t length);
  void set_flags(uint8_t flags);
  // Bytes of the whole frame: length + 8.
  size_t size() const { return length() + kHeaderSize; }

  // Data frames: the 31-bit stream id. Control frames: the masked id at offset 8 for
  // SYN_STREAM, SYN_REPLY, RST_STREAM, HEADERS and WINDOW_UPDATE, kInvalidStream otherwise.
  uint32_t stream_id() const;

  // Fixed fields of control frames; each is meaningful only for its frame type and reads bytes
  // the framer has checked to be present.
  uint32_t associated_stream_id() const;     // SYN_STREAM
  uint8_t priority() const;                  // SYN_STREAM, 0..3
  uint32_t status() const;                   // RST_STREAM
  uint32_t unique_id() const;                // PING
  uint32_t last_accepted_stream_id() const;  // GOAWAY
  uint32_t num_entries() const;              // SETTINGS
  uint32_t delta_window_size() const;        // WINDOW_UPDATE

  // Header block of SYN_STREAM, SYN_REPLY and HEADERS: offset from the frame start and byte
  // count; 0 for other types.
  size_t header_block_offset() const;
  size_t header_block_len() const;

  // Stream id of any frame; kInvalidStream for a missing frame.
  static uint32_t StreamIdOf(const SpdyFrame* frame);

  static uint16_t ReadUInt16(const char* p);
  static uint32_t ReadUInt32(const char* p);
  static void WriteUInt16(char* p, uint16_t v);
  static void WriteUInt32(char* p, uint32_t v);

 private:
  char* frame_;
  bool owns_buffer_;
};

#endif  // DAEMON_SPDY_SPDY_FRAME_H
