#ifndef DAEMON_NET_CREATE_LISTENER_H
#define DAEMON_NET_CREATE_LISTENER_H

#include <string>

// TCP sockets of the daemon, IPv4 only. An empty host or port means any address or any port.
// Out descriptors are set to -1 first and hold a descriptor only on success.

// Creates a listening socket, left blocking. Returns 0 on success; -1 when resolution, socket
// creation, an option or listen fails; -2 when bind fails; -3 when bind fails because the
// address is not configured (logged only without `wait_for_iface`).
int create_listener(const std::string& host, const std::string& port, bool is_numeric_host_address,
                    int backlog, bool reuseaddr, bool reuseport, bool wait_for_iface,
                    bool disable_nagle, int* listen_fd);

// Opens a TCP connection with keep-alive on. Returns 1 when connected at once, 0 when the
// connection is in progress (wait for writability, then read SO_ERROR), -1 on failure.
int CreateConnectedSocket(int* connect_fd, const std::string& host, const std::string& port,
                          bool is_numeric_host_address, bool disable_nagle, bool non_blocking);

// Keep-alive probes after KEEP_ALIVE_TIME seconds of silence, every KEEP_ALIVE_TIME seconds,
// three at most. On false the descriptor has been closed.
bool SetKeepAlive(int fd);

// TCP_NODELAY. On false the descriptor has been closed.
bool SetDisableNagle(int fd);

void SetNonBlocking(int fd);

// Closes *fd and sets it to -1. Returns false when the close failed (or `tries` < 1).
bool CloseSocket(int* fd, int tries);

#endif  // DAEMON_NET_CREATE_LISTENER_H
