// Bad control commands, from tests/catalogue/data/control_commands.cases: raw bytes on the real
// daemon's control socket. Each case must get its replies (or none) and its log lines, must
// leave the flow database and the configuration file exactly as they were, and the proxy must
// still serve afterwards.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "catalogue/catalogue_helper.h"
#include "catalogue/client_exchange_helper.h"
#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::DaemonUnderTest;
using qvtest::Gateway;
using qvtest::Origin;
using qvtest::TempDir;

// The messages (each "<code> <text>", NUL-terminated on the wire) the daemon sends back to
// `pieces`, written 50 ms apart, within `wait_s` or until `count` arrived.
std::vector<std::string> Converse(const std::string& path, const std::vector<std::string>& pieces,
                                  size_t count, double wait_s) {
  std::vector<std::string> replies;
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    replies.push_back("(no connection)");
    return replies;
  }
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0)
      usleep(50000);
    if (send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL) < 0)
      break;
  }
  std::string got;
  const double end = qvtest::NowSeconds() + wait_s;
  while (replies.size() < count || count == 0) {
    const double left = end - qvtest::NowSeconds();
    if (left <= 0)
      break;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0)
      continue;
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) {
      replies.push_back("(closed)");
      break;
    }
    got.append(buf, static_cast<size_t>(n));
    for (size_t nul; (nul = got.find('\0')) != std::string::npos; got.erase(0, nul + 1))
      replies.push_back(got.substr(0, nul));
  }
  close(fd);
  return replies;
}

// Every row of the flow table, and the configuration file: what no command may change.
std::string Stored(DaemonUnderTest* daemon, const TempDir& dir) {
  qvtest::Process dump;
  const std::string out = dir.File("dump.out");
  if (!dump.Spawn({"sqlite3", "-readonly", daemon->db_path(), "select * from flow order by _id;"},
                  out, dir.File("dump.err")) ||
      dump.Wait(20) != 0)
    return "(no dump)";
  return qvtest::ReadFile(out) + "--\n" + qvtest::ReadFile(daemon->dir().File("http2quorvin.conf"));
}

TEST(ControlCommands, EachGetsWhatItMust) {
  TempDir dir;
  Origin origin;
  Gateway gateway;
  ASSERT_TRUE(origin.Start(dir));
  ASSERT_TRUE(gateway.Start(dir));
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(gateway.port())}});
  ASSERT_TRUE(daemon.Start());
  int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  // Some figures to keep: one request through the proxy.
  const std::string host = "127.0.0.1:" + std::to_string(origin.http_port());
  const std::string good = "GET http://" + host + "/text HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
  const std::string day = qvtest::Today();
  long long up = 0, down = 0;
  // One request; true once its every byte is in the figures, so that nothing is on its way
  // while a case runs.
  auto serve = [&] {
    const int fd = qvtest::ConnectLoopback(port);
    if (send(fd, good.data(), good.size(), MSG_NOSIGNAL) > 0)
      up += static_cast<long long>(good.size());
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof(buf), 0)) > 0;)
      down += n;
    close(fd);
    const std::string want =
        "1 allFlow:{up:" + std::to_string(up) + ",down:" + std::to_string(down) + "}";
    return qvtest::WaitUntil(
        [&] {
          return daemon.Ctl({"queryflow", day, day, ""}).out == want;
        },
        5);
  };
  ASSERT_TRUE(serve());

  for (const CatalogueCase& c : ReadCatalogue(QV_CATALOGUE_DIR "/control_commands.cases")) {
    SCOPED_TRACE(testing::PrintToString(c));
    ASSERT_FALSE(c.Has("error")) << c.Get("error");
    std::vector<std::string> pieces;
    std::string error;
    ASSERT_TRUE(CaseBytes(c, nullptr, &pieces, &error)) << error;
    std::vector<std::string> want;
    for (const std::string& r : c.GetAll("reply")) {
      if (r != "none")
        want.push_back(Unescape(r));
    }
    const std::string before = Stored(&daemon, dir);
    const size_t log_start = daemon.Log().size();
    // No reply expected: wait a second for one that must not come.
    const std::vector<std::string> got =
        Converse(daemon.socket_path(), pieces, want.size(), want.empty() ? 1 : 10);
    EXPECT_EQ(want, got);

    const std::vector<std::string> warns = c.GetAll("warn");
    ASSERT_FALSE(warns.empty()) << "a case names its WARN lines, or \"warn: none\"";
    if (warns == std::vector<std::string>{"none"}) {
      EXPECT_TRUE(c.Has("why-silent")) << "a bad command that is not logged says why";
    } else {
      std::string missing;
      qvtest::WaitUntil(
          [&] {
            return ContainsInOrder(WarnLines(daemon.Log().substr(log_start), "WE"), warns,
                                   &missing);
          },
          3);
      EXPECT_TRUE(ContainsInOrder(WarnLines(daemon.Log().substr(log_start), "WE"), warns, &missing))
          << "no WARN \"" << missing << "\" in\n"
          << daemon.Log().substr(log_start);
    }
    // Nothing stored changed; the proxy runs (a case that stopped it starts it again).
    EXPECT_EQ(before, Stored(&daemon, dir));
    if (c.Get("after") == "start") {
      EXPECT_EQ("1 StartOkay.", daemon.Ctl({"start"}).out);
      qvtest::WaitUntil([&] { return (port = daemon.ProxyPort()) > 0; }, 5);
    }
    EXPECT_GT(daemon.ProxyPort(), 0) << "the proxy no longer listens";
    EXPECT_TRUE(serve()) << "no request served after the case";
    printf("%-40s %zu repl%s\n", c.name.c_str(), got.size(), got.size() == 1 ? "y" : "ies");
  }
}

}  // namespace
