#ifndef DAEMON_NET_SOCKET_CONNECTION_H
#define DAEMON_NET_SOCKET_CONNECTION_H

#include <stddef.h>

#include <string>

#include "net/epoll_server.h"
#include "net/ring_byte_buffer.h"

// What every connection on the loop shares: its registration, the events one callback gathers
// (those still pending afterwards are asked back through out_ready_mask), its read buffer and,
// for a plain socket, the receive loop. The connection handles its own events and says how it
// ends.
class SocketConnection : public EpollCallback {
 public:
  // EpollCallback
  void OnRegistration(EpollServer* eps, int fd, int event_mask) override;
  void OnModification(int fd, int event_mask) override;
  void OnEvent(int fd, EpollEvent* event) override;
  void OnUnregistration(int fd, bool replaced) override;
  void OnShutdown(EpollServer* eps, int fd) override;
  ~SocketConnection() override;

  SocketConnection(const SocketConnection&) = delete;
  SocketConnection& operator=(const SocketConnection&) = delete;

  virtual EpollServer* epoll_server() { return epoll_server_; }
  // Ends the connection; `code` says why, by the connection's own table.
  virtual void Cleanup(const char* reason, int code) = 0;

  int fd() const { return fd_; }

  // Stops taking bytes from the socket (the kernel then holds them and TCP slows the sender)
  // until ResumeRead, which asks the loop for the read that was held back.
  void PauseRead() { read_paused_ = true; }
  void ResumeRead();
  bool read_paused() const { return read_paused_; }

 protected:
  // `tag` is the owner's log tag. A `lazy_read_buffer` takes its storage with the first bytes.
  SocketConnection(const char* tag, int read_buffer_size, bool lazy_read_buffer = false);

  // Runs for the events gathered in events_ and leaves there those that must come back.
  virtual void HandleEvents() = 0;
  // Bytes the receive loop just stored at the end of the read buffer. False when handling
  // them ended the connection.
  virtual bool OnReceived(char* data, size_t len);

  // Reads until the socket has nothing more, the read buffer is full (reading then waits for
  // the next readable event), reading is paused (until ResumeRead) or the peer closes (Cleanup
  // "DoRead", 3) or fails (Cleanup "DoRead", 4). `peer` names the other end in the failure line,
  // `owner` the connection in the buffer-full line. False when the connection ended.
  bool ReceiveAll(const std::string& peer, const char* owner);
  // Asks the loop for a write attempt on its next iteration.
  void AskForWrite();
  // Leaves the loop, if registered.
  void Unregister();

  const char* const tag_;
  int fd_ = -1;
  int events_ = 0;
  // Set by a connection registered with EPOLLRDHUP: a read that does not fill its region ends
  // the receive loop without another read only to see EAGAIN.
  bool short_read_drains_ = false;
  // An event reported EPOLLRDHUP: the peer shut its side, and reading goes on to the end.
  bool peer_shut_ = false;
  bool registered_ = false;
  EpollServer* epoll_server_ = nullptr;
  RingByteBuffer read_buffer_;
  bool read_paused_ = false;
  // A readable event came while reading was paused.
  bool read_owed_ = false;
};

#endif  // DAEMON_NET_SOCKET_CONNECTION_H
