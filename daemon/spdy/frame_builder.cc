#include "spdy/frame_builder.h"

#include <string.h>

#include <new>

#include "spdy/spdy_frame.h"

FrameBuilder::FrameBuilder(size_t capacity)
    : buffer_(new (std::nothrow) char[capacity]), capacity_(capacity), length_(0) {
  if (buffer_ == nullptr)
    capacity_ = 0;
}

FrameBuilder::FrameBuilder(const char* data, size_t size)
    : buffer_(const_cast<char*>(data)), capacity_(kReadOnlyMarker), length_(size) {}

FrameBuilder::~FrameBuilder() {
  if (!read_only())
    delete[] buffer_;
}

bool FrameBuilder::Grow(size_t needed) {
  if (needed <= capacity_)
    return true;
  size_t doubled = capacity_ <= static_cast<size_t>(-1) / 2 ? 2 * capacity_ : needed;
  size_t new_capacity = doubled > needed ? doubled : needed;
  char* grown = new (std::nothrow) char[new_capacity];
  if (grown == nullptr)
    return false;
  if (length_ > 0)
    memcpy(grown, buffer_, length_);
  delete[] buffer_;
  buffer_ = grown;
  capacity_ = new_capacity;
  return true;
}

bool FrameBuilder::WriteBytes(const void* data, size_t n) {
  // A borrowed array must never be written or reallocated.
  if (read_only() || n >= kMaxWriteSize)
    return false;
  if (n > static_cast<size_t>(-1) - length_)
    return false;
  if (!Grow(length_ + n))
    return false;
  if (n > 0)
    memcpy(buffer_ + length_, data, n);
  length_ += n;
  return true;
}

bool FrameBuilder::WriteUInt16(uint16_t value) {
  char bytes[2];
  SpdyFrame::WriteUInt16(bytes, value);
  return WriteBytes(bytes, sizeof(bytes));
}

bool FrameBuilder::WriteUInt32(uint32_t value) {
  char bytes[4];
  SpdyFrame::WriteUInt32(bytes, value);
  return WriteBytes(bytes, sizeof(bytes));
}

bool FrameBuilder::WriteString(const std::string& value) {
  if (value.size() >= kMaxStringSize)
    return false;
  size_t before = length_;
  if (!WriteUInt16(static_cast<uint16_t>(value.size())))
    return false;
  if (!WriteBytes(value.data(), value.size())) {
    length_ = before;
    return false;
  }
  return true;
}

bool FrameBuilder::Remaining(const char* cursor, size_t* left) const {
  if (buffer_ == nullptr) {
    *left = 0;
    return cursor == nullptr;
  }
  // Compare as integers: the cursor may be any pointer a caller hands in.
  uintptr_t begin = reinterpret_cast<uintptr_t>(buffer_);
  uintptr_t at = reinterpret_cast<uintptr_t>(cursor);
  if (at < begin || at - begin > length_)
    return false;
  *left = length_ - (at - begin);
  return true;
}

bool FrameBuilder::ReadUInt16(const char** cursor, uint16_t* out) const {
  const char* at = *cursor == nullptr ? buffer_ : *cursor;
  size_t left;
  if (!Remaining(at, &left) || left < 2)
    return false;
  *out = SpdyFrame::ReadUInt16(at);
  *cursor = at + 2;
  return true;
}

bool FrameBuilder::ReadString(const char** cursor, std::string* out) const {
  const char* at = *cursor == nullptr ? buffer_ : *cursor;
  uint16_t n;
  const char* after_len = at;
  if (!ReadUInt16(&after_len, &n))
    return false;
  size_t left;
  if (!Remaining(after_len, &left) || left < n)
    return false;
  out->assign(after_len, n);
  *cursor = after_len + n;
  return true;
}

SpdyFrame* FrameBuilder::take() {
  if (read_only() || buffer_ == nullptr)
    return nullptr;
  SpdyFrame* frame = new SpdyFrame(buffer_, true);
  buffer_ = nullptr;
  capacity_ = 0;
  length_ = 0;
  return frame;
}
