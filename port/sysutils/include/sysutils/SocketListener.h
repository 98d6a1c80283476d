// Host replacement for Android's <sysutils/SocketListener.h>: serves a stream socket on a
// thread of its own, at most kMaxClients clients at once.
#ifndef PORT_SYSUTILS_SOCKETLISTENER_H
#define PORT_SYSUTILS_SOCKETLISTENER_H

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sysutils/SocketClient.h>

class SocketListener {
 public:
  // Clients served at once; one more is closed at its accept (with a WARN), so that no one
  // can make the listener hold descriptors and queues without bound.
  static constexpr size_t kMaxClients = 16;

  // The socket named `socketName`: the descriptor in ANDROID_SOCKET_<socketName> when init
  // passed one; otherwise a Unix stream socket bound at $HTTP2QUORVIN_SOCKET, or at
  // /dev/socket/<socketName>, mode 0660. With `listen` false the socket is one connected peer
  // rather than a listening socket.
  SocketListener(const char* socketName, bool listen);
  // A socket the caller already has; it stays the caller's.
  SocketListener(int socketFd, bool listen);
  // Derived listeners must call stopListener in their own destructor: the serving thread calls
  // their onDataAvailable.
  virtual ~SocketListener();

  SocketListener(const SocketListener&) = delete;
  SocketListener& operator=(const SocketListener&) = delete;

  // Opens the socket and starts the serving thread. 0, or -1 (logged).
  int startListener();
  int startListener(int backlog);
  // Ends the serving thread and drops every client. Not to be called from a command. 0, or -1
  // when the listener was not running.
  int stopListener();

  // Sends "<code> <msg>" and a NUL to every connected client. Safe from any thread, and never
  // waits for a client: each has its own bounded queue (SocketClient::kMaxQueuedBytes).
  void sendBroadcast(int code, const char* msg, bool addErrno);

  // Where the listener bound its socket; empty for a descriptor handed in.
  const std::string& socketPath() const { return path_; }

 protected:
  // Data is waiting on `client`. Returning false closes it.
  virtual bool onDataAvailable(SocketClient* client) = 0;

 private:
  static void* ThreadEntry(void* arg);
  void RunListener();
  // Binds here, listening already when `listen_`, unless a socket was inherited or given.
  int OpenSocket(int backlog);
  void CloseSocket();
  void RemoveClient(SocketClient* client);

  std::string name_;
  bool listen_;
  int sock_ = -1;
  bool sock_from_caller_ = false;  // handed in: neither closed nor unlinked here
  bool sock_bound_here_ = false;   // bound at path_: closed and unlinked on stop
  std::string path_;
  int ctrl_pipe_[2] = {-1, -1};
  bool running_ = false;
  std::atomic<bool> stopping_{false};
  std::shared_ptr<SocketWake> wake_;
  pthread_t thread_{};

  std::mutex clients_lock_;
  std::vector<std::shared_ptr<SocketClient>> clients_;
};

#endif  // PORT_SYSUTILS_SOCKETLISTENER_H
