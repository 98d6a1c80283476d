#include "net/create_listener.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "core/error_text.h"
#include "core/logging.h"
#include "net/name_resolver.h"

namespace {

const char kTag[] = "create_listener";
const int kCloseTries = 100;

bool SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

void FatalCloseFailure() {
  QV_LOGW(kTag, "Unable to close the socket.. Considering this a fatal error, and exiting");
  exit(1);
}

}  // namespace

int create_listener(const std::string& host, const std::string& port, bool is_numeric_host_address,
                    int backlog, bool reuseaddr, bool reuseport, bool wait_for_iface,
                    bool disable_nagle, int* listen_fd) {
  *listen_fd = -1;
  SocketAddressLookup addr;
  if (addr.Resolve(host, port, is_numeric_host_address) != 0) {
    QV_LOGW(kTag, "getaddrinfo for (%s:%s) err", host.c_str(), port.c_str());
    return -1;
  }
  const struct addrinfo* ai = addr.get();
  int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (fd < 0) {
    const int err = errno;
    QV_LOGW(kTag, "Unable to create socket for (%s:%s) %s", host.c_str(), port.c_str(),
            ErrorText(err).c_str());
    return -1;
  }
  if ((reuseaddr && !SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) ||
      (reuseport && !SetIntOption(fd, SOL_SOCKET, SO_REUSEPORT, 1))) {
    close(fd);
    QV_LOGW(kTag, "setsockopt() failed fd=%d", fd);
    return -1;
  }
  if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    const int err = errno;
    if (!(wait_for_iface && err == EADDRNOTAVAIL))
      QV_LOGW(kTag, "Bind was unsuccessful for (%s:%s) %s", host.c_str(), port.c_str(),
              ErrorText(err).c_str());
    if (!CloseSocket(&fd, kCloseTries))
      FatalCloseFailure();
    return err == EADDRNOTAVAIL ? -3 : -2;
  }
  if (disable_nagle && !SetDisableNagle(fd))
    return -1;
  if (listen(fd, backlog) != 0) {
    const int err = errno;
    QV_LOGW(kTag, "Listen was unsuccessful for (%s:%s) %s", host.c_str(), port.c_str(),
            ErrorText(err).c_str());
    if (!CloseSocket(&fd, kCloseTries))
      FatalCloseFailure();
    return -1;
  }
  *listen_fd = fd;
  return 0;
}

int CreateConnectedSocket(int* connect_fd, const std::string& host, const std::string& port,
                          bool is_numeric_host_address, bool disable_nagle, bool non_blocking) {
  QV_LOGD(kTag, "CreateConnectedSocket");
  *connect_fd = -1;
  SocketAddressLookup addr;
  const int gai = addr.Resolve(host, port, is_numeric_host_address);
  if (gai != 0) {
    QV_LOGW(kTag, "getaddrinfo for (%s:%s) %s", host.c_str(), port.c_str(), gai_strerror(gai));
    return -1;
  }
  const struct addrinfo* ai = addr.get();
  int fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (fd < 0) {
    const int err = errno;
    QV_LOGW(kTag, "Unable to create socket for (%s:%s) : %s", host.c_str(), port.c_str(),
            ErrorText(err).c_str());
    return -1;
  }
  if (non_blocking)
    SetNonBlocking(fd);
  if (disable_nagle && !SetDisableNagle(fd))
    return -1;
  if (!SetKeepAlive(fd))
    return -1;
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
    *connect_fd = fd;
    return 1;
  }
  const int err = errno;
  if (err == EINPROGRESS) {
    *connect_fd = fd;
    return 0;
  }
  QV_LOGW(kTag, "Connect was unsuccessful for (%s:%s) : %s", host.c_str(), port.c_str(),
          ErrorText(err).c_str());
  close(fd);
  return -1;
}

bool SetKeepAlive(int fd) {
  const int keep_alive_time = GetProxyConfig()->keep_alive_time_;
  const struct {
    int level;
    int name;
    int value;
    const char* label;
  } kOptions[] = {
      {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
      {IPPROTO_TCP, TCP_KEEPIDLE, keep_alive_time, "TCP_KEEPIDLE"},
      {IPPROTO_TCP, TCP_KEEPINTVL, keep_alive_time, "TCP_KEEPINTVL"},
      {IPPROTO_TCP, TCP_KEEPCNT, 3, "TCP_KEEPCNT"},
  };
  for (const auto& option : kOptions) {
    if (!SetIntOption(fd, option.level, option.name, option.value)) {
      close(fd);
      QV_LOGW(kTag, "setsockopt() %s: failed on fd %d", option.label, fd);
      return false;
    }
  }
  return true;
}

bool SetDisableNagle(int fd) {
  if (!SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1)) {
    close(fd);
    QV_LOGW(kTag, "setsockopt() TCP_NODELAY: failed on fd %d", fd);
    return false;
  }
  return true;
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags != -1 && !(flags & O_NONBLOCK))
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool CloseSocket(int* fd, int tries) {
  // A failed close has already released the descriptor on Linux (or it was never open), so a
  // second close could only hit a descriptor another thread has just been given. One attempt;
  // EINTR counts as closed.
  if (tries < 1)
    return false;
  if (close(*fd) == 0 || errno == EINTR) {
    *fd = -1;
    return true;
  }
  return false;
}
