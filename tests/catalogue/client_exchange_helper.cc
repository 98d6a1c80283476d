#include "catalogue/client_exchange_helper.h"

#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e/daemon_helper.h"
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

bool CaseBytes(const CatalogueCase& c, const std::function<void(std::string*)>& fill,
               std::vector<std::string>* pieces, std::string* error) {
  pieces->clear();
  for (const std::string& expr : c.GetAll("send")) {
    std::string bytes;
    if (!BuildBytes(expr, &bytes, error))
      return false;
    if (fill)
      fill(&bytes);
    pieces->push_back(bytes);
  }
  return true;
}

bool Figures(qvtest::DaemonUnderTest& daemon, long long* up, long long* down) {
  const std::string day = qvtest::Today();
  const std::string out = daemon.Ctl({"queryflow", day, day, ""}).out;
  return sscanf(out.c_str(), "1 allFlow:{up:%lld,down:%lld}", up, down) == 2;
}

bool FiguresReach(qvtest::DaemonUnderTest& daemon, long long up, long long down,
                  std::string* seen) {
  long long u = -1, d = -1;
  const bool ok =
      qvtest::WaitUntil([&] { return Figures(daemon, &u, &d) && u == up && d == down; }, 5);
  *seen = "up " + std::to_string(u) + " down " + std::to_string(d);
  return ok;
}
