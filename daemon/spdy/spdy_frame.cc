#include "spdy/spdy_frame.h"

#include <string.h>

SpdyFrame::SpdyFrame(size_t size) : frame_(new char[size]), owns_buffer_(true) {
  memset(frame_, 0, size);
}

SpdyFrame::SpdyFrame(char* data, bool owns_buffer) : frame_(data), owns_buffer_(owns_buffer) {}

SpdyFrame::~SpdyFrame() {
  if (owns_buffer_)
    delete[] frame_;
}

uint16_t SpdyFrame::ReadUInt16(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint16_t>((u[0] << 8) | u[1]);
}

uint32_t SpdyFrame::ReadUInt32(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return (static_cast<uint32_t>(u[0]) << 24) | (static_cast<uint32_t>(u[1]) << 16) |
         (static_cast<uint32_t>(u[2]) << 8) | static_cast<uint32_t>(u[3]);
}

void SpdyFrame::WriteUInt16(char* p, uint16_t v) {
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v & 0xff);
}

void SpdyFrame::WriteUInt32(char* p, uint32_t v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>((v >> 16) & 0xff);
  p[2] = static_cast<char>((v >> 8) & 0xff);
  p[3] = static_cast<char>(v & 0xff);
}

bool SpdyFrame::is_control_frame() const {
  return (static_cast<unsigned char>(frame_[0]) & 0x80) != 0;
}

uint16_t SpdyFrame::version() const {
  return ReadUInt16(frame_) & 0x7fff;
}

uint16_t SpdyFrame::type() const {
  return ReadUInt16(frame_ + 2);
}

uint8_t SpdyFrame::flags() const {
  return static_cast<uint8_t>(frame_[4]);
}

uint32_t SpdyFrame::length() const {
  return ReadUInt32(frame_ + 4) & kLengthMask;
}

void SpdyFrame::set_length(uint32_t length) {
  uint32_t word = (ReadUInt32(frame_ + 4) & ~kLengthMask) | (length & kLengthMask);
  WriteUInt32(frame_ + 4, word);
}

void SpdyFrame::set_flags(uint8_t flags) {
  frame_[4] = static_cast<char>(flags);
}

uint32_t SpdyFrame::stream_id() const {
  if (!is_control_frame())
    return ReadUInt32(frame_) & kStreamIdMask;
  switch (type()) {
    case SYN_STREAM:
    case SYN_REPLY:
    case RST_STREAM:
    case HEADERS:
    case WINDOW_UPDATE:
      return ReadUInt32(frame_ + 8) & kStreamIdMask;
    default:
      return kInvalidStream;
  }
}

uint32_t SpdyFrame::associated_stream_id() const {
  return ReadUInt32(frame_ + 12) & kStreamIdMask;
}

uint8_t SpdyFrame::priority() const {
  return static_cast<uint8_t>(ReadUInt16(frame_ + 16) >> 14);
}

uint32_t SpdyFrame::status() const {
  return ReadUInt32(frame_ + 12);
}

uint32_t SpdyFrame::unique_id() const {
  return ReadUInt32(frame_ + 8);
}

uint32_t SpdyFrame::last_accepted_stream_id() const {
  return ReadUInt32(frame_ + 8) & kStreamIdMask;
}

uint32_t SpdyFrame::num_entries() const {
  return ReadUInt32(frame_ + 8);
}

uint32_t SpdyFrame::delta_window_size() const {
  return ReadUInt32(frame_ + 12);
}

size_t SpdyFrame::header_block_offset() const {
  if (!is_control_frame())
    return 0;
  switch (type()) {
    case SYN_STREAM:
      return kSynStreamFixedSize;
    case SYN_REPLY:
      return kSynReplyFixedSize;
    case HEADERS:
      return kHeadersFixedSize;
    default:
      return 0;
  }
}

size_t SpdyFrame::header_block_len() const {
  size_t offset = header_block_offset();
  if (offset == 0 || size() < offset)
    return 0;
  return size() - offset;
}

uint32_t SpdyFrame::StreamIdOf(const SpdyFrame* frame) {
  return frame == nullptr ? kInvalidStream : frame->stream_id();
}
