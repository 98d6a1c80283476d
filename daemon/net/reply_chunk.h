#ifndef DAEMON_NET_REPLY_CHUNK_H
#define DAEMON_NET_REPLY_CHUNK_H

#include <stddef.h>
#include <string.h>

#include "net/data_frame.h"
#include "net/free_list.h"

// An output record that owns a copy of reply bytes in storage with room to spare, so that the
// pieces that follow it while it waits in the queue are added to it: the same bytes in the same
// order, in fewer records and fewer sends. Small pieces (a response head, a short body) share a
// block of kSmall bytes, long replies fill blocks of kLarge; both are reused from free lists.
class ReplyChunk : public DataFrame {
 public:
  static constexpr size_t kSmall = 4096;
  static constexpr size_t kLarge = 16384;

  // A copy of `len` bytes, with room for more.
  ReplyChunk(const char* bytes, size_t len)
      : capacity_(len <= kSmall / 2 ? kSmall : (len < kLarge ? kLarge : len)) {
    char* storage = static_cast<char*>(Take(capacity_));
    if (len > 0)
      memcpy(storage, bytes, len);
    data = storage;
    size = static_cast<unsigned int>(len);
  }
  ~ReplyChunk() override { Give(const_cast<char*>(data), capacity_); }

  ReplyChunk(const ReplyChunk&) = delete;
  ReplyChunk& operator=(const ReplyChunk&) = delete;

  // Adds `len` bytes after the stored ones when they fit; false leaves the chunk as it was.
  bool Append(const char* bytes, size_t len) {
    if (len > capacity_ - size)
      return false;
    memcpy(const_cast<char*>(data) + size, bytes, len);
    size += static_cast<unsigned int>(len);
    return true;
  }

  static void* operator new(size_t n) { return FreeList<sizeof(ReplyChunk), 64>::Take(n); }
  static void operator delete(void* p, size_t n) { FreeList<sizeof(ReplyChunk), 64>::Give(p, n); }

 private:
  static void* Take(size_t capacity) {
    if (capacity == kSmall)
      return FreeList<kSmall, 32>::Take(capacity);
    if (capacity == kLarge)
      return FreeList<kLarge, 16>::Take(capacity);
    return ::operator new(capacity);
  }
  static void Give(void* p, size_t capacity) {
    if (capacity == kSmall)
      FreeList<kSmall, 32>::Give(p, capacity);
    else if (capacity == kLarge)
      FreeList<kLarge, 16>::Give(p, capacity);
    else
      ::operator delete(p);
  }

  const size_t capacity_;
};

#endif  // DAEMON_NET_REPLY_CHUNK_H
