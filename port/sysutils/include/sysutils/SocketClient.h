// Host replacement for Android's <sysutils/SocketClient.h>: one connected client of a
// control socket.
#ifndef PORT_SYSUTILS_SOCKETCLIENT_H
#define PORT_SYSUTILS_SOCKETCLIENT_H

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

// Tells a listener's serving thread that a client has output waiting (see SocketListener).
class SocketWake {
 public:
  explicit SocketWake(int fd) : fd_(fd) {}
  void Signal();
  // The serving thread is gone: signals do nothing from now on.
  void Close();

 private:
  std::mutex mutex_;
  int fd_;
};

class SocketClient {
 public:
  // Output a client may leave unread before it is dropped, when one more message comes: a
  // client that does not read never holds up a writer, and never makes the daemon hold more
  // than this (and the message that went past it) for it.
  static constexpr size_t kMaxQueuedBytes = 64 * 1024;

  // `owned`: the descriptor is closed with the client.
  SocketClient(int socket, bool owned);
  virtual ~SocketClient();

  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  int getSocket() const { return socket_; }
  // Credentials of the peer process (SO_PEERCRED); -1 when unknown.
  pid_t getPid() const { return pid_; }
  uid_t getUid() const { return uid_; }
  gid_t getGid() const { return gid_; }

  // Sends "<code> <msg>" and a NUL; with addErrno ": <text of errno>" goes before the NUL.
  // Never waits for the client: what its socket cannot take now is queued and written by the
  // serving thread when the client reads. Returns 0, or -1 when the client cannot be written
  // to or has fallen behind by more than kMaxQueuedBytes (it is then shut down, so that the
  // listener drops it).
  int sendMsg(int code, const char* msg, bool addErrno);
  // Sends `msg` and a NUL as they are.
  int sendMsg(const char* msg);
  // Sends raw bytes. Safe to call from any thread; messages never interleave.
  int sendData(const void* data, int len);

  // Serving thread: output is waiting, and writes what the socket takes of it.
  bool hasQueuedOutput();
  void flushQueued();
  // Where to signal that output is waiting.
  void setWake(const std::shared_ptr<SocketWake>& wake) { wake_ = wake; }

 private:
  friend class FrameworkListener;

  int sendLocked(const char* data, size_t len);
  // Gives the client up for good (so that a half-written message is never followed by
  // another); the listener drops it at its next poll.
  void breakLocked();

  int socket_;
  bool owned_;
  pid_t pid_ = -1;
  uid_t uid_ = static_cast<uid_t>(-1);
  gid_t gid_ = static_cast<gid_t>(-1);
  std::mutex write_lock_;
  std::atomic<bool> broken_{false};
  // Output the socket did not take yet; guarded by write_lock_.
  std::string queued_;
  std::shared_ptr<SocketWake> wake_;
  // Bytes received but not yet ended by a NUL; only the listener's thread touches it.
  std::string pending_;
};

#endif  // PORT_SYSUTILS_SOCKETCLIENT_H
