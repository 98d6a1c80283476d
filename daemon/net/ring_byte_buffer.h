#ifndef DAEMON_NET_RING_BYTE_BUFFER_H
#define DAEMON_NET_RING_BYTE_BUFFER_H

#include "net/byte_buffer.h"

// Fixed-capacity circular buffer; the connections' socket read buffers. A stored run that wraps
// around the end is seen as two readable regions.
class RingByteBuffer : public ByteBuffer {
 public:
  // The size of the connections' read buffers, whose storage is reused from buffer to buffer.
  static constexpr int kPooledCapacity = 10240;

  explicit RingByteBuffer(int capacity);
  // A `lazy` buffer takes its storage when first written to, so that a connection that has
  // not received anything holds none.
  RingByteBuffer(int capacity, bool lazy);
  ~RingByteBuffer() override;

  RingByteBuffer(const RingByteBuffer&) = delete;
  RingByteBuffer& operator=(const RingByteBuffer&) = delete;

  int ReadableBytes() const override { return readable_; }
  int Capacity() const override { return capacity_; }
  int FreeBytes() const override { return capacity_ - readable_; }
  bool IsEmpty() const override { return readable_ == 0; }
  bool IsFull() const override { return readable_ == capacity_; }
  int Write(const char* data, int len) override;
  void GetWritableRegion(char** ptr, int* size) override;
  void GetReadableRegion(char** ptr, int* size) override;
  int Read(char* out, int len) override;
  void Clear() override;
  // Makes the writable region at least `size` bytes, moving or growing the storage.
  bool Reserve(int size) override;
  void Consume(int n) override;
  void Commit(int n) override;

  // Changes the capacity, keeping the newest bytes when they no longer fit.
  void Resize(int new_capacity);
  // Empties the buffer and gives its storage back; the next write takes it again.
  void Release();

  int read_index() const { return read_index_; }
  int write_index() const { return write_index_; }

 private:
  // index + n modulo the capacity, for 0 <= n <= capacity: no division, and no int overflow
  // however large the capacity.
  int Advance(int index, int n) const {
    const int room = capacity_ - index;
    return n < room ? index + n : n - room;
  }

  char* storage_;
  int capacity_;
  int readable_ = 0;
  int read_index_ = 0;
  int write_index_ = 0;
};

#endif  // DAEMON_NET_RING_BYTE_BUFFER_H
