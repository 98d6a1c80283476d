#include "net/socket_cork.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "core/logging.h"

void SocketCork::Set(int fd, bool on) {
  if (on == corked_)
    return;
  int value = on ? 1 : 0;
  if (setsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, sizeof(value)) != 0) {
    const int err = errno;
    if (on)
      QV_LOGW(tag_, "cork sock failed:%d", err);
    else
      QV_LOGW(tag_, "uncork sock failed:%d %d", err, fd);
    return;
  }
  corked_ = on;
}
