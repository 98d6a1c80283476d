#ifndef DAEMON_NET_LINEAR_BYTE_BUFFER_H
#define DAEMON_NET_LINEAR_BYTE_BUFFER_H

#include "net/byte_buffer.h"

// Growable contiguous buffer: the stored bytes always form one region between the read and the
// write index. Only the space after the write index counts as free.
class LinearByteBuffer : public ByteBuffer {
 public:
  explicit LinearByteBuffer(int capacity);
  ~LinearByteBuffer() override;

  LinearByteBuffer(const LinearByteBuffer&) = delete;
  LinearByteBuffer& operator=(const LinearByteBuffer&) = delete;

  int ReadableBytes() const override { return write_ - read_; }
  int Capacity() const override { return capacity_; }
  int FreeBytes() const override { return capacity_ - write_; }
  bool IsEmpty() const override { return read_ == write_; }
  bool IsFull() const override { return write_ == capacity_ && read_ != write_; }
  // Grows as needed and takes all of `data`; returns 0 only when the size cannot be represented.
  int Write(const char* data, int len) override;
  void GetWritableRegion(char** ptr, int* size) override;
  void GetReadableRegion(char** ptr, int* size) override;
  int Read(char* out, int len) override;
  void Clear() override;
  // Makes at least `size` bytes free after the stored ones, moving them to the start or growing
  // the storage to max(needed, twice the capacity).
  bool Reserve(int size) override;
  void Consume(int n) override;
  void Commit(int n) override;

  int read_index() const { return read_; }
  int write_index() const { return write_; }

 private:
  char* storage_;
  int write_ = 0;
  int read_ = 0;
  int capacity_;
};

#endif  // DAEMON_NET_LINEAR_BYTE_BUFFER_H
