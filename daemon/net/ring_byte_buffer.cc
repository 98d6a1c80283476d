#include "net/ring_byte_buffer.h"

#include <limits.h>
#include <string.h>

#include <algorithm>

#include "net/free_list.h"

namespace {

// Buffers of the connections' size come and go with every client: their storage is kept for
// the next one.
using PooledBlocks = FreeList<RingByteBuffer::kPooledCapacity, 64>;

char* NewStorage(int capacity) {
  if (capacity == RingByteBuffer::kPooledCapacity)
    return static_cast<char*>(PooledBlocks::Take(static_cast<size_t>(capacity)));
  return new char[capacity > 0 ? capacity : 0];
}

void FreeStorage(char* storage, int capacity) {
  if (storage == nullptr)
    return;
  if (capacity == RingByteBuffer::kPooledCapacity)
    PooledBlocks::Give(storage, static_cast<size_t>(capacity));
  else
    delete[] storage;
}

}  // namespace

RingByteBuffer::RingByteBuffer(int capacity) : RingByteBuffer(capacity, false) {}

RingByteBuffer::RingByteBuffer(int capacity, bool lazy)
    : storage_(nullptr), capacity_(capacity > 0 ? capacity : 0) {
  if (!lazy)
    storage_ = NewStorage(capacity_);
}

RingByteBuffer::~RingByteBuffer() {
  FreeStorage(storage_, capacity_);
}

void RingByteBuffer::Release() {
  Clear();
  FreeStorage(storage_, capacity_);
  storage_ = nullptr;
}

void RingByteBuffer::GetWritableRegion(char** ptr, int* size) {
  if (storage_ == nullptr)
    storage_ = NewStorage(capacity_);
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
  if (storage_ == nullptr) {
    // Nothing stored and no storage taken yet: only the size changes.
    capacity_ = new_capacity;
    return;
  }
  char* fresh = NewStorage(new_capacity);
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
  FreeStorage(storage_, capacity_);
  storage_ = fresh;
  capacity_ = new_capacity;
  readable_ = stored;
  read_index_ = 0;
  write_index_ = new_capacity == 0 ? 0 : stored % new_capacity;
}
