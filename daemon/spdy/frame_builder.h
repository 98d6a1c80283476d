#ifndef DAEMON_SPDY_FRAME_BUILDER_H
#define DAEMON_SPDY_FRAME_BUILDER_H

#include <stddef.h>
#include <stdint.h>

#include <string>

class SpdyFrame;

// Growable byte array with big-endian writers, from which every outgoing frame is made, and
// bounds-checked readers over borrowed bytes.
class FrameBuilder {
 public:
  // Capacity value marking a builder over borrowed bytes: it reads, never writes or frees.
  static constexpr size_t kReadOnlyMarker = static_cast<size_t>(-1);
  // Writes of this many bytes or more are refused (a frame length has 24 bits).
  static constexpr size_t kMaxWriteSize = 1u << 24;
  // Strings of this many bytes or more are refused (their length is written in 16 bits).
  static constexpr size_t kMaxStringSize = 1u << 16;

  explicit FrameBuilder(size_t capacity);
  // Reading mode over `size` bytes at `data`, which stay the caller's.
  FrameBuilder(const char* data, size_t size);
  ~FrameBuilder();

  FrameBuilder(const FrameBuilder&) = delete;
  FrameBuilder& operator=(const FrameBuilder&) = delete;

  const char* data() const { return buffer_; }
  size_t length() const { return length_; }
  size_t capacity() const { return capacity_; }
  bool read_only() const { return capacity_ == kReadOnlyMarker; }

  bool WriteBytes(const void* data, size_t n);
  bool WriteUInt16(uint16_t value);
  bool WriteUInt32(uint32_t value);
  // 16-bit length, then the bytes.
  bool WriteString(const std::string& value);

  // Readers advance *cursor; a null *cursor starts at the first byte. They fail without moving
  // the cursor when the value would run past the bytes available.
  bool ReadUInt16(const char** cursor, uint16_t* out) const;
  bool ReadString(const char** cursor, std::string* out) const;

  // Hands the bytes to a new owning frame and leaves the builder empty. None in reading mode
  // or when nothing was allocated.
  SpdyFrame* take();

 private:
  bool Grow(size_t needed);
  // Bytes left after `cursor`; false when the cursor lies outside the data.
  bool Remaining(const char* cursor, size_t* left) const;

  char* buffer_;
  size_t capacity_;
  size_t length_;
};

#endif  // DAEMON_SPDY_FRAME_BUILDER_H
