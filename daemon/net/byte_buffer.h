#ifndef DAEMON_NET_BYTE_BUFFER_H
#define DAEMON_NET_BYTE_BUFFER_H

// A byte queue that callers fill and drain in place: they take a contiguous region, use it
// directly with recv, send or a parser, then Commit or Consume the byte count.
class ByteBuffer {
 public:
  virtual int ReadableBytes() const = 0;
  virtual int Capacity() const = 0;
  virtual int FreeBytes() const = 0;
  virtual bool IsEmpty() const = 0;
  virtual bool IsFull() const = 0;
  // Copies in; returns the bytes taken.
  virtual int Write(const char* data, int len) = 0;
  // Contiguous free region after the stored bytes.
  virtual void GetWritableRegion(char** ptr, int* size) = 0;
  // Contiguous region of stored bytes, oldest first.
  virtual void GetReadableRegion(char** ptr, int* size) = 0;
  // Copies out and consumes; returns the bytes copied.
  virtual int Read(char* out, int len) = 0;
  virtual void Clear() = 0;
  virtual bool Reserve(int size) = 0;
  virtual void Consume(int n) = 0;
  virtual void Commit(int n) = 0;
  virtual ~ByteBuffer() {}
};

#endif  // DAEMON_NET_BYTE_BUFFER_H
