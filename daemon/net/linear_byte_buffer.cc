#include "net/linear_byte_buffer.h"

#include <limits.h>
#include <string.h>

#include <algorithm>

#include "net/free_list.h"

namespace {

// A request head's buffer is made for every client: buffers of that size are kept for the next.
const int kPooledCapacity = 32768;
using PooledBlocks = FreeList<kPooledCapacity, 8>;

char* NewStorage(int capacity) {
  if (capacity == kPooledCapacity)
    return static_cast<char*>(PooledBlocks::Take(static_cast<size_t>(capacity)));
  return new char[capacity > 0 ? capacity : 0];
}

void FreeStorage(char* storage, int capacity) {
  if (capacity == kPooledCapacity)
    PooledBlocks::Give(storage, static_cast<size_t>(capacity));
  else
    delete[] storage;
}

}  // namespace

LinearByteBuffer::LinearByteBuffer(int capacity)
    : storage_(NewStorage(capacity)), capacity_(capacity > 0 ? capacity : 0) {}

LinearByteBuffer::~LinearByteBuffer() {
  FreeStorage(storage_, capacity_);
}

void LinearByteBuffer::GetWritableRegion(char** ptr, int* size) {
  *ptr = storage_ + write_;
  *size = capacity_ - write_;
}

void LinearByteBuffer::GetReadableRegion(char** ptr, int* size) {
  *ptr = storage_ + read_;
  *size = write_ - read_;
}

int LinearByteBuffer::Write(const char* data, int len) {
  if (len <= 0)
    return 0;
  if (FreeBytes() < len && !Reserve(len))
    return 0;
  memcpy(storage_ + write_, data, static_cast<size_t>(len));
  Commit(len);
  return len;
}

int LinearByteBuffer::Read(char* out, int len) {
  int n = std::min(std::max(len, 0), ReadableBytes());
  memcpy(out, storage_ + read_, static_cast<size_t>(n));
  Consume(n);
  return n;
}

void LinearByteBuffer::Commit(int n) {
  write_ = std::min(write_ + std::max(n, 0), capacity_);
}

void LinearByteBuffer::Consume(int n) {
  read_ = std::min(read_ + std::max(n, 0), write_);
}

void LinearByteBuffer::Clear() {
  read_ = 0;
  write_ = 0;
}

bool LinearByteBuffer::Reserve(int size) {
  if (size <= 0 || FreeBytes() >= size)
    return true;
  const int readable = ReadableBytes();
  if (size > INT_MAX - readable)
    return false;
  const int needed = size + readable;
  if (capacity_ < needed) {
    const int doubled = capacity_ > INT_MAX / 2 ? INT_MAX : 2 * capacity_;
    const int fresh_capacity = std::max(needed, doubled);
    char* fresh = NewStorage(fresh_capacity);
    memcpy(fresh, storage_ + read_, static_cast<size_t>(readable));
    FreeStorage(storage_, capacity_);
    storage_ = fresh;
    capacity_ = fresh_capacity;
  } else {
    memmove(storage_, storage_ + read_, static_cast<size_t>(readable));
  }
  read_ = 0;
  write_ = readable;
  return true;
}
