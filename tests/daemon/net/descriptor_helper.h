#ifndef TESTS_DAEMON_NET_DESCRIPTOR_HELPER_H
#define TESTS_DAEMON_NET_DESCRIPTOR_HELPER_H

#include <fcntl.h>

inline bool IsOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

inline bool IsNonBlocking(int fd) {
  return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

#endif  // TESTS_DAEMON_NET_DESCRIPTOR_HELPER_H
