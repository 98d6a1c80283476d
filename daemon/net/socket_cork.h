#ifndef DAEMON_NET_SOCKET_CORK_H
#define DAEMON_NET_SOCKET_CORK_H

// TCP_CORK of one socket as last set: small pieces written while it is on leave in full
// segments. Asking for the state the socket is already in costs no system call.
class SocketCork {
 public:
  // `tag` is the owner's log tag, for the failure lines.
  explicit SocketCork(const char* tag) : tag_(tag) {}

  void Set(int fd, bool on);
  // The socket is gone, and its cork state with it.
  void Reset() { corked_ = false; }
  bool corked() const { return corked_; }

 private:
  const char* tag_;
  bool corked_ = false;
};

#endif  // DAEMON_NET_SOCKET_CORK_H
