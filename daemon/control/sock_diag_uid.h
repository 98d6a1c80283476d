#ifndef DAEMON_CONTROL_SOCK_DIAG_UID_H
#define DAEMON_CONTROL_SOCK_DIAG_UID_H

// Asks the kernel through NETLINK_SOCK_DIAG for the UID of a TCP socket whose local port is
// `port`, IPv6 sockets first (an IPv4 client on a dual-stack socket is one), then IPv4.
// Sockets in TIME_WAIT and listening sockets are passed over. The kernel checks the port while
// it walks its socket tables, without writing out every socket as the text tables do, so the
// cost does not grow with thousands of connections in TIME_WAIT.
// Returns the UID; kSockDiagNotFound when no such socket exists; kSockDiagUnavailable when the
// kernel's interface cannot be used (then the text tables are the way).
const int kSockDiagNotFound = -1;
const int kSockDiagUnavailable = -2;
int SockDiagUid(int port);

// The UID of the socket at the other end of `fd`, a TCP connection accepted from a client on
// this host: one exact lookup by the connection's addresses and ports, whatever the size of the
// kernel's tables. The same results as SockDiagUid.
int SockDiagPeerUid(int fd);

#endif  // DAEMON_CONTROL_SOCK_DIAG_UID_H
