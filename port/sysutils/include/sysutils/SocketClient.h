// Host replacement for Android's <sysutils/SocketClient.h>: one connected client of a
// control socket.
#ifndef PORT_SYSUTILS_SOCKETCLIENT_H
#define PORT_SYSUTILS_SOCKETCLIENT_H

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>

class SocketClient {
 public:
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
  // Returns 0, or -1 when the client cannot be written to (it is then shut down, so that the
  // listener drops it).
  int sendMsg(int code, const char* msg, bool addErrno);
  // Sends `msg` and a NUL as they are.
  int sendMsg(const char* msg);
  // Sends raw bytes. Safe to call from any thread; messages never interleave.
  int sendData(const void* data, int len);

 private:
  friend class FrameworkListener;

  int sendLocked(const char* data, size_t len);

  int socket_;
  bool owned_;
  pid_t pid_ = -1;
  uid_t uid_ = static_cast<uid_t>(-1);
  gid_t gid_ = static_cast<gid_t>(-1);
  std::mutex write_lock_;
  std::atomic<bool> broken_{false};
  // Bytes received but not yet ended by a NUL; only the listener's thread touches it.
  std::string pending_;
};

#endif  // PORT_SYSUTILS_SOCKETCLIENT_H
