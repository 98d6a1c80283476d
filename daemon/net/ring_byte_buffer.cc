#include "net/ring_byte_buffer.h"

#include <limits.h>
#include <string.h>

#include <algorithm>

RingByteBuffer::RingByteBuffer(int capacity)
    : storage_(new char[capacity > 0 ? capacity : 0]), capacity_(capacity > 0 ? capacity : 0) {}

RingByteBuffer::~RingByteBuffer() {
  delete[] storage_;
}

void RingByteBuffer::GetWritableRegion(char** ptr, int* size) {
  *ptr = storage_ + write_index_;
  if (IsFull()) {
    *size = 0;
  } else if (write_index_ < read_index_) {
    *size = read_index_ - write_index_;
  } else {
    *size = capacity_ - write_index_;
  }
}

void RingByteBuffer::GetReadableRegion(char** ptr, int* size) {
  *ptr = storage_ + read_index_;
  if (IsEmpty()) {
    *size = 0;
  } else {
    *size = (write_index_ <= read_index_ ? capacity_ : write_index_) - read_index_;
  }
}

void RingByteBuffer::Commit(int n) {
  // More than the free space would overwrite unread bytes.
  n = std::min(std::max(n, 0), FreeBytes());
  if (n == 0)
    return;
  write_index_ = Advance(write_index_, n);
  readable_ += n;
}

void RingByteBuffer::Consume(int n) {
  if (n < 0)
    return;
  if (n < readable_) {
    read_index_ = Advance(read_index_, n);
    readable_ -= n;
  } else {
    Clear();
  }
}

void RingByteBuffer::Clear() {
  readable_ = 0;
  read_index_ = 0;
  write_index_ = 0;
}

int RingByteBuffer::Write(const char* data, int len) {
  int copied = 0;
  while (copied < len) {
    char* region;
    int size;
    GetWritableRegion(&region, &size);
    if (size == 0)
      break;
    int n = std::min(size, len - copied);
    memcpy(region, data + copied, static_cast<size_t>(n));
    Commit(n);
    copied += n;
  }
  return copied;
}

int RingByteBuffer::Read(char* out, int len) {
  int copied = 0;
  while (copied < len) {
    char* region;
    int size;
    GetReadableRegion(&region, &size);
    if (size == 0)
      break;
    int n = std::min(size, len - copied);
    memcpy(out + copied, region, static_cast<size_t>(n));
    Consume(n);
    copied += n;
  }
  return copied;
}

bool RingByteBuffer::Reserve(int size) {
  char* region;
  int writable;
  GetWritableRegion(&region, &writable);
  if (writable >= size)
    return true;
  if (FreeBytes() < size) {
    if (size > INT_MAX - capacity_)
      return false;
    Resize(capacity_ + size);
  } else if (read_index_ < write_index_) {
    memmove(storage_, storage_ + read_index_, static_cast<size_t>(readable_));
    read_index_ = 0;
    write_index_ = readable_;
  } else if (IsEmpty()) {
    read_index_ = 0;
    write_index_ = 0;
  }
  return true;
}

void RingByteBuffer::Resize(int new_capacity) {
  if (new_capacity < 0 || new_capacity == capacity_)
    return;
  char* fresh = new char[new_capacity];
  if (new_capacity < readable_)
    Consume(readable_ - new_capacity);
  int stored = 0;
  while (readable_ > 0) {
    char* region;
    int size;
    GetReadableRegion(&region, &size);
    memcpy(fresh + stored, region, static_cast<size_t>(size));
    stored += size;
    read_index_ = (read_index_ + size) % capacity_;
    readable_ -= size;
  }
  delete[] storage_;
  storage_ = fresh;
  capacity_ = new_capacity;
  readable_ = stored;
  read_index_ = 0;
  write_index_ = new_capacity == 0 ? 0 : stored % new_capacity;
}
