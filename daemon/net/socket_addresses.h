#ifndef DAEMON_NET_SOCKET_ADDRESSES_H
#define DAEMON_NET_SOCKET_ADDRESSES_H

#include <sys/socket.h>

// Both ends of an accepted TCP connection as accept4 and the listener told them, so that
// nothing asks the kernel for them again.
struct SocketAddresses {
  struct sockaddr_storage client;  // the application's end
  socklen_t client_len = 0;
  struct sockaddr_storage local;  // ours
  socklen_t local_len = 0;        // 0 when unknown (a listener bound to every address)
};

#endif  // DAEMON_NET_SOCKET_ADDRESSES_H
