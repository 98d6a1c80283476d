#ifndef DAEMON_CONTROL_SOCK_DIAG_CLIENT_H
#define DAEMON_CONTROL_SOCK_DIAG_CLIENT_H

#include <sys/socket.h>

#include <mutex>

// Asks the kernel through NETLINK_SOCK_DIAG for the UID owning a TCP socket. The kernel checks
// the port while it walks its socket tables, without writing out every socket as the text
// tables do, so the cost does not grow with thousands of connections in TIME_WAIT.
// One netlink socket is opened on first use and kept for every later question (a lookup per
// accepted client would otherwise open and close one each time); it is opened again after a
// failure. Safe to use from several threads: questions are asked one at a time.
class SockDiagClient {
 public:
  static const int kNotFound = -1;
  // The kernel's interface cannot be used: the text tables are the way.
  static const int kUnavailable = -2;

  SockDiagClient();
  ~SockDiagClient();

  SockDiagClient(const SockDiagClient&) = delete;
  SockDiagClient& operator=(const SockDiagClient&) = delete;

  // The UID of a TCP socket whose local port is `port`, IPv6 sockets first (an IPv4 client on
  // a dual-stack socket is one), then IPv4. Sockets in TIME_WAIT and listening sockets are
  // passed over. kNotFound when there is none.
  int Uid(int port);
  // The UID of the socket at the other end of `fd`, a TCP connection accepted from a client on
  // this host: one exact lookup by the connection's addresses and ports, whatever the size of
  // the kernel's tables. The same results as Uid.
  int PeerUid(int fd);
  // The same for a connection whose ends are known: `client` the application's, `local` ours,
  // each a sockaddr_in or a sockaddr_in6. No system call but the netlink exchange.
  int PeerUid(const struct sockaddr* client, const struct sockaddr* local);

 private:
  // The kept socket, opened when there is none; -1 when it cannot be.
  int Socket();
  // After a failed exchange the socket may hold a half-read answer: a fresh one is taken.
  void Drop();
  int DumpFamily(int family, int port);
  int ExactLookup(int family, const void* client_addr, int client_port, const void* our_addr,
                  int our_port, unsigned addr_size);

  std::mutex lock_;
  int fd_ = -1;
  unsigned sequence_ = 0;
};

#endif  // DAEMON_CONTROL_SOCK_DIAG_CLIENT_H
