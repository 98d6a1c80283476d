// What the daemon's accepted client socket is, seen from outside the daemon: its options and
// flags (taken over from the listener and from accept4 rather than set on each socket), and the
// owner found for it by the lookup that uses the addresses accept4 returned.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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
#include <vector>

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

// Everything the client receives until the daemon ends the connection; false when it did not
// end within `timeout_s` (a failure, never a measure).
bool ReceiveUntilEnd(int fd, double timeout_s, std::string* got) {
  const double end = qvtest::NowSeconds() + timeout_s;
  for (;;) {
    const double left = end - qvtest::NowSeconds();
    if (left <= 0)
      return false;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0)
      continue;
    char buf[16384];
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0)
      return true;
    got->append(buf, static_cast<size_t>(n));
  }
}

bool SendAll(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string Lowered(std::string text) {
  for (char& c : text)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
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

// A client that shuts its sending side after its request has left: the daemon ends the
// connection at once, sends it nothing and cancels the request's stream, whether the end came
// with the request's last bytes or on its own, after the gateway had the stream. A receive loop
// that stops at a short read must still see that end; the slow gateway's reply would come
// only after 3 s, so a missed end shows as reply bytes.
TEST_F(AcceptedSocketEndToEndTest, HalfClosedClientIsEndedAndItsStreamCancelled) {
  qvtest::Gateway slow;
  ASSERT_TRUE(slow.Start(*dir_, {"--delay-ms", "3000"}, "slow-half-close"));
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(slow.port())}});
  ASSERT_TRUE(daemon.Start());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  const std::string request =
      "GET " + origin_->Url("/text") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  for (bool after_stream : {false, true}) {
    SCOPED_TRACE(after_stream ? "end after the stream" : "end with the request");
    const size_t streams_before = slow.Events("stream").size();
    const size_t resets_before = slow.Events("rst").size();
    const int fd = qvtest::ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, request));
    if (after_stream) {
      ASSERT_TRUE(
          qvtest::WaitUntil([&]() { return slow.Events("stream").size() > streams_before; }, 10));
    }
    ASSERT_EQ(0, shutdown(fd, SHUT_WR));
    std::string got;
    EXPECT_TRUE(ReceiveUntilEnd(fd, 10, &got));
    EXPECT_EQ("", got.substr(0, 120));  // the start of what came is enough to say
    close(fd);
    ASSERT_TRUE(qvtest::WaitUntil([&]() { return slow.Events("rst").size() > resets_before; }, 10));
    const std::vector<std::string> streams = slow.Events("stream");
    const std::vector<std::string> resets = slow.Events("rst");
    ASSERT_EQ(streams_before + 1, streams.size());
    ASSERT_EQ(resets_before + 1, resets.size());
    EXPECT_EQ(qvtest::JsonNumber(streams.back(), "id"), qvtest::JsonNumber(resets.back(), "id"));
    EXPECT_EQ(5, qvtest::JsonNumber(resets.back(), "status"));  // CANCEL
  }
}

// Connections, parsers, buffers and reply records are reused from one client to the next: what
// a client leaves behind (a head cut off mid-line, a head that grew the header lists, a reply
// still queued when the client went away) never shows in the next client's request or reply.
TEST_F(AcceptedSocketEndToEndTest, NextClientSeesNothingOfTheLastOnesState) {
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(gateway_->port())}});
  ASSERT_TRUE(daemon.Start());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  std::string many;
  for (int i = 0; i < 300; ++i)
    many += "X-Many-" + std::to_string(i) + ": value " + std::to_string(i) + "\r\n";
  const std::string echo_url = origin_->Url("/echo-head");
  const struct {
    const char* name;
    std::string head;
    size_t read_then_close;  // 0: the client shuts its side and waits for the end
  } kBefore[] = {
      {"a head cut off mid-line",
       "GET " + echo_url + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Left-Over: " + std::string(6000, 'l'),
       0},
      {"a head that grew the header lists",
       "GET " + echo_url + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + many + "\r\n", 0},
      {"a long reply left queued",
       "GET " + origin_->Url("/size/10485760") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 65536},
  };
  for (const auto& before : kBefore) {
    SCOPED_TRACE(before.name);
    const size_t resets_before = gateway_->Events("rst").size();
    const int first = qvtest::ConnectLoopback(port);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(SendAll(first, before.head));
    if (before.read_then_close == 0) {
      // The end of the head would be read with the end of the stream: the daemon ends it.
      shutdown(first, SHUT_WR);
      std::string ignored;
      EXPECT_TRUE(ReceiveUntilEnd(first, 20, &ignored));
      close(first);
    } else {
      std::string part;
      while (part.size() < before.read_then_close) {
        char buf[16384];
        const ssize_t n = recv(first, buf, sizeof(buf), 0);
        ASSERT_GT(n, 0);
        part.append(buf, static_cast<size_t>(n));
      }
      // Unread bytes make close a reset: the daemon cancels the stream when it sees it.
      close(first);
      ASSERT_TRUE(
          qvtest::WaitUntil([&]() { return gateway_->Events("rst").size() > resets_before; }, 10));
    }

    const int next = qvtest::ConnectLoopback(port);
    ASSERT_GE(next, 0);
    ASSERT_TRUE(SendAll(next, "GET " + echo_url +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Mine: next\r\n"
                                  "Connection: close\r\n\r\n"));
    std::string reply;
    EXPECT_TRUE(ReceiveUntilEnd(next, 20, &reply));
    close(next);
    const size_t body_at = reply.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, body_at) << reply.substr(0, 300);
    ASSERT_EQ(0u, reply.find("HTTP/1.1 200")) << reply.substr(0, 300);
    const std::string head = Lowered(reply.substr(0, body_at));
    const std::string body = Lowered(reply.substr(body_at + 4));
    const size_t length_at = head.find("\r\ncontent-length: ");
    if (length_at != std::string::npos) {
      EXPECT_EQ(strtoul(head.c_str() + length_at + 18, nullptr, 10), body.size()) << head;
    }
    EXPECT_EQ(0u, body.find("get /echo-head ")) << body;
    EXPECT_NE(std::string::npos, body.find("\r\nx-mine: next\r\n")) << body;
    EXPECT_EQ(std::string::npos, body.find("x-left-over")) << body;
    EXPECT_EQ(std::string::npos, body.find("x-many-")) << body;
  }
}

}  // namespace
