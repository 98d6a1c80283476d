#ifndef DAEMON_NET_SOCKET_WRITER_H
#define DAEMON_NET_SOCKET_WRITER_H

#include <stddef.h>

#include <list>
#include <string>

#include "net/data_frame.h"

// The sending side of a non-blocking client or tunnel socket: the queued records, written first
// in, first out with at most a budget of bytes per writable event, each send but the pass's last
// with MSG_MORE so that small pieces leave in full segments.
class SocketWriter {
 public:
  enum Result {
    kWritten,  // the queue is empty, or the budget is spent and EPOLLOUT asks to come back
    kBlocked,  // the socket is full: the rest waits for the next writable event
    kFailed,   // the socket broke or the peer stopped taking bytes
  };

  // Told of every send that took bytes.
  class Observer {
   public:
    virtual ~Observer() {}
    virtual void OnBytesSent(size_t n) = 0;
  };

  // The texts are the owner's own: its log tag and the line logged when the budget cuts a
  // write short. `log_more` also logs each send that carries MSG_MORE.
  SocketWriter(const char* tag, const char* budget_spent_text, size_t budget, bool log_more);
  ~SocketWriter();

  SocketWriter(const SocketWriter&) = delete;
  SocketWriter& operator=(const SocketWriter&) = delete;

  // Takes ownership of the record.
  void Push(DataFrame* frame) {
    queue_.push_back(frame);
    if (frame->index < frame->size)
      queued_bytes_ += frame->size - frame->index;
  }
  bool empty() const { return queue_.empty(); }
  // Adds `len` bytes to the last queued record when it is a ReplyChunk with room for them.
  bool AppendToLast(const char* data, size_t len);
  // Bytes queued and not yet sent.
  size_t queued_bytes() const { return queued_bytes_; }

  // Sends what the budget allows. `events` is the owner's pending event mask: EPOLLOUT is
  // dropped when nothing more can be written now and added when the budget stopped the write.
  // `peer` names the other end in the error line.
  Result Write(int fd, const std::string& peer, int* events, Observer* observer);
  // Drops the queued records.
  void Clear();

 private:
  const char* tag_;
  const char* budget_spent_text_;
  const size_t budget_;
  const bool log_more_;
  std::list<DataFrame*> queue_;
  int max_output_list_ = 0;
  size_t queued_bytes_ = 0;
};

#endif  // DAEMON_NET_SOCKET_WRITER_H
