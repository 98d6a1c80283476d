#ifndef DAEMON_NET_DATA_FRAME_H
#define DAEMON_NET_DATA_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include "net/free_list.h"

// One queued chunk of output. The connections keep their records first in, first out; whoever
// dequeues a fully sent record destroys it.
class DataFrame {
 public:
  DataFrame() : data(nullptr), size(0), delete_when_done(false), index(0), stream_id(0) {}
  DataFrame(const char* d, unsigned int n, bool owned)
      : data(d), size(n), delete_when_done(owned), index(0), stream_id(0) {}
  virtual ~DataFrame() {
    if (delete_when_done)
      delete[] data;
  }

  DataFrame(const DataFrame&) = delete;
  DataFrame& operator=(const DataFrame&) = delete;

  // Records are made and destroyed for every reply: their storage is reused. A derived record
  // larger than this one is simply allocated.
  static void* operator new(size_t n) { return FreeList<sizeof(DataFrame)>::Take(n); }
  static void operator delete(void* p, size_t n) { FreeList<sizeof(DataFrame)>::Give(p, n); }

  const char* data;
  unsigned int size;
  // The record owns `data` (allocated with new[]).
  bool delete_when_done;
  // Bytes already sent.
  unsigned int index;
  // Stream a record queued to the gateway belongs to; 0 for records queued to a client.
  uint32_t stream_id;
};

#endif  // DAEMON_NET_DATA_FRAME_H
