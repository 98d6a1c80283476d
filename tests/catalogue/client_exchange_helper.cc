#include "catalogue/client_exchange_helper.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e/peers_helper.h"

Exchange Talk(int port, const std::vector<std::string>& pieces, bool close_after, double wait_s,
              size_t* sent) {
  Exchange x;
  *sent = 0;
  const int fd = qvtest::ConnectLoopback(port);
  if (fd < 0)
    return x;
  const double start = qvtest::NowSeconds();
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0)
      usleep(50000);
    const ssize_t n = send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
    if (n > 0)
      *sent += static_cast<size_t>(n);
  }
  if (close_after) {
    close(fd);
    x.closed = true;
    return x;
  }
  for (;;) {
    const double left = wait_s - (qvtest::NowSeconds() - start);
    if (left <= 0)
      break;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0)
      continue;
    char buf[65536];
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n > 0) {
      x.received.append(buf, static_cast<size_t>(n));
      continue;
    }
    x.closed = true;
    x.reset = n < 0;
    x.seconds = qvtest::NowSeconds() - start;
    break;
  }
  close(fd);
  return x;
}
