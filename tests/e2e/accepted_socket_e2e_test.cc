// What the daemon's accepted client socket is, seen from outside the daemon: its options and
// flags (taken over from the listener and from accept4 rather than set on each socket), and the
// owner found for it by the lookup that uses the addresses accept4 returned.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::DaemonUnderTest;

// The inode of the TCP socket from local port `local` to remote port `remote`, or "".
std::string SocketInode(int local, int remote) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string f[10];
    for (std::string& one : f)
      fields >> one;
    const int lport =
        static_cast<int>(strtol(f[1].substr(f[1].find(':') + 1).c_str(), nullptr, 16));
    const int rport =
        static_cast<int>(strtol(f[2].substr(f[2].find(':') + 1).c_str(), nullptr, 16));
    if (lport == local && rport == remote)
      return f[9];
  }
  return "";
}

// The descriptor number under which `pid` holds the socket `inode`, or -1.
int DescriptorOf(pid_t pid, const std::string& inode) {
  const std::string want = "socket:[" + inode + "]";
  for (int fd = 0; fd < 4096; ++fd) {
    char link[64];
    char target[128];
    snprintf(link, sizeof(link), "/proc/%d/fd/%d", static_cast<int>(pid), fd);
    const ssize_t n = readlink(link, target, sizeof(target) - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == want)
      return fd;
  }
  return -1;
}

// The "flags:" line of /proc/PID/fdinfo/FD (octal), -1 when unreadable.
long FdinfoFlags(pid_t pid, int fd) {
  std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
  std::string name;
  std::string value;
  while (info >> name >> value) {
    if (name == "flags:")
      return strtol(value.c_str(), nullptr, 8);
  }
  return -1;
}

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof(value);
  if (getsockopt(fd, level, name, &value, &len) != 0)
    return -1;
  return value;
}

class AcceptedSocketEndToEndTest : public qvtest::PeersSuite {};

// A client of another UID: the daemon's socket for it has TCP_NODELAY (from the listener),
// no keep-alive (the listener has none, and nothing adds it), is non-blocking and closes on
// exec (from accept4); its bytes are counted under the client's UID, not the daemon's.
TEST_F(AcceptedSocketEndToEndTest, OptionsFlagsAndOwnerOfAnAcceptedClient) {
  if (geteuid() != 0)
    GTEST_SKIP() << "a client of another UID needs root";
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(gateway_->port())}});
  ASSERT_TRUE(daemon.Start());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);

  const uid_t client_uid = 54321;
  int sync[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sync));
  const std::string request =
      "GET " + origin_->Url("/text") + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only system calls from here: connect, tell the port, wait, ask, read to the end.
    close(sync[0]);
    if (setgid(client_uid) != 0 || setuid(client_uid) != 0)
      _exit(2);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0)
      _exit(3);
    sockaddr_in mine = {};
    socklen_t len = sizeof(mine);
    getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &len);
    const int my_port = ntohs(mine.sin_port);
    char go;
    if (write(sync[1], &my_port, sizeof(my_port)) != sizeof(my_port) || read(sync[1], &go, 1) != 1)
      _exit(4);
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
      _exit(5);
    long got = 0;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
      got += n;
    if (write(sync[1], &got, sizeof(got)) != sizeof(got))
      _exit(6);
    _exit(0);
  }
  close(sync[1]);
  int client_port = 0;
  ASSERT_EQ(static_cast<ssize_t>(sizeof(client_port)),
            read(sync[0], &client_port, sizeof(client_port)));

  std::string inode;
  int fd = -1;
  ASSERT_TRUE(qvtest::WaitUntil(
      [&]() {
        inode = SocketInode(port, client_port);
        fd = inode.empty() ? -1 : DescriptorOf(daemon.pid(), inode);
        return fd >= 0;
      },
      5))
      << "the daemon holds no socket for the client's port " << client_port;
  const long flags = FdinfoFlags(daemon.pid(), fd);
  EXPECT_NE(0, flags & O_NONBLOCK) << std::oct << flags;
  EXPECT_NE(0, flags & O_CLOEXEC) << std::oct << flags;
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, daemon.pid(), 0));
  const int copy = pidfd < 0 ? -1 : static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, fd, 0));
  if (copy >= 0) {
    EXPECT_EQ(1, IntOption(copy, IPPROTO_TCP, TCP_NODELAY));
    EXPECT_EQ(0, IntOption(copy, SOL_SOCKET, SO_KEEPALIVE));
    EXPECT_EQ(0, IntOption(copy, IPPROTO_TCP, TCP_CORK));
    close(copy);
  } else {
    ADD_FAILURE() << "pidfd_getfd: " << strerror(errno);
  }
  if (pidfd >= 0)
    close(pidfd);

  ASSERT_EQ(1, write(sync[0], "g", 1));
  long got = 0;
  EXPECT_EQ(static_cast<ssize_t>(sizeof(got)), read(sync[0], &got, sizeof(got)));
  int status = -1;
  waitpid(child, &status, 0);
  close(sync[0]);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_GT(got, 0);

  const std::string today = qvtest::Today();
  const std::string flow = "1 {Flow:[{up:" + std::to_string(request.size()) +
                           ",down:" + std::to_string(got) +
                           ",appUID:" + std::to_string(client_uid) + "}]}";
  qvtest::WaitUntil(
      [&]() {
        return daemon.Ctl({"querydetailflow", today, today, ""}).out == flow;
      },
      5);
  EXPECT_EQ(flow, daemon.Ctl({"querydetailflow", today, today, ""}).out);
}

}  // namespace
