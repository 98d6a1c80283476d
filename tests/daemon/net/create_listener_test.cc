#include "net/create_listener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "core/proxy_config.h"
#include "daemon/net/descriptor_helper.h"
#include "daemon/net/log_lines_helper.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char kListenerTag[] = "create_listener";
// An address from a documentation range that no interface here carries.
const char kUnconfiguredAddress[] = "203.0.113.77";

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof(value);
  EXPECT_EQ(0, getsockopt(fd, level, name, &value, &len));
  return value;
}

std::string LocalPort(int fd) {
  struct sockaddr_in addr;
  socklen_t len = sizeof(addr);
  EXPECT_EQ(0, getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len));
  return std::to_string(ntohs(addr.sin_port));
}

// A loopback port nobody listens on: bound once to learn a free number, then let go.
std::string ClosedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
  std::string port = LocalPort(fd);
  close(fd);
  return port;
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_keep_alive_ = GetProxyConfig()->keep_alive_time_; }
  void TearDown() override { GetProxyConfig()->keep_alive_time_ = saved_keep_alive_; }

 private:
  int saved_keep_alive_ = 0;
};

TEST_F(SocketTest, ConnectToAClosedPortIsInProgressThenFailsOnTheSocket) {
  const std::string port = ClosedLoopbackPort();
  int fd = 12345;
  ASSERT_EQ(0, CreateConnectedSocket(&fd, "127.0.0.1", port, true, true, true));
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(IsNonBlocking(fd));
  struct pollfd pfd = {fd, POLLOUT, 0};
  ASSERT_EQ(1, poll(&pfd, 1, 30000));
  EXPECT_EQ(ECONNREFUSED, IntOption(fd, SOL_SOCKET, SO_ERROR));
  close(fd);
}

TEST_F(SocketTest, BlockingConnectToAClosedPortFailsAtOnce) {
  const std::string port = ClosedLoopbackPort();
  int fd = 12345;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, CreateConnectedSocket(&fd, "127.0.0.1", port, true, false, false));
  EXPECT_THAT(
      LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag),
      ElementsAre("Connect was unsuccessful for (127.0.0.1:" + port + ") : Connection refused"));
  EXPECT_EQ(-1, fd);
}

TEST_F(SocketTest, ConnectedSocketCarriesKeepAliveAndNoDelay) {
  GetProxyConfig()->keep_alive_time_ = 45;
  int listen_fd;
  ASSERT_EQ(0, create_listener("127.0.0.1", "0", true, 8, false, false, false, false, &listen_fd));
  const std::string port = LocalPort(listen_fd);

  int fd;
  ASSERT_EQ(1, CreateConnectedSocket(&fd, "127.0.0.1", port, true, true, false));
  EXPECT_FALSE(IsNonBlocking(fd));
  EXPECT_EQ(1, IntOption(fd, SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_EQ(45, IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE));
  EXPECT_EQ(45, IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL));
  EXPECT_EQ(3, IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT));
  EXPECT_NE(0, IntOption(fd, IPPROTO_TCP, TCP_NODELAY));

  // Keep-alive is always on; no-delay only when asked.
  int plain;
  ASSERT_GE(CreateConnectedSocket(&plain, "127.0.0.1", port, true, false, true), 0);
  EXPECT_TRUE(IsNonBlocking(plain));
  EXPECT_EQ(1, IntOption(plain, SOL_SOCKET, SO_KEEPALIVE));
  EXPECT_EQ(0, IntOption(plain, IPPROTO_TCP, TCP_NODELAY));
  close(plain);
  close(fd);
  close(listen_fd);
}

TEST_F(SocketTest, KeepAliveFailureClosesTheDescriptorAndNamesTheOption) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SetKeepAlive(p[0]));
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag),
              ElementsAre("setsockopt() SO_KEEPALIVE: failed on fd " + std::to_string(p[0])));
  EXPECT_FALSE(IsOpen(p[0]));

  // A UDP socket takes SO_KEEPALIVE but no TCP timers: the second option fails.
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SetKeepAlive(udp));
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag),
              ElementsAre("setsockopt() TCP_KEEPIDLE: failed on fd " + std::to_string(udp)));
  EXPECT_FALSE(IsOpen(udp));

  testing::internal::CaptureStderr();
  EXPECT_FALSE(SetDisableNagle(p[1]));
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag),
              ElementsAre("setsockopt() TCP_NODELAY: failed on fd " + std::to_string(p[1])));
  EXPECT_FALSE(IsOpen(p[1]));
}

TEST_F(SocketTest, ConnectGivesUpWhenKeepAliveCannotBeSet) {
  GetProxyConfig()->keep_alive_time_ = 0;  // the kernel refuses a zero idle time
  int fd = 12345;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, CreateConnectedSocket(&fd, "127.0.0.1", ClosedLoopbackPort(), true, true, true));
  const auto lines = LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag);
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(0u, lines[0].find("setsockopt() TCP_KEEPIDLE: failed on fd "));
  EXPECT_EQ(-1, fd);
}

TEST_F(SocketTest, BindToAnUnconfiguredAddress) {
  int fd = 12345;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-3, create_listener(kUnconfiguredAddress, "0", true, 8, true, false, true, true, &fd));
  EXPECT_THAT(testing::internal::GetCapturedStderr(), IsEmpty());  // waiting for it: quiet
  EXPECT_EQ(-1, fd);

  testing::internal::CaptureStderr();
  EXPECT_EQ(-3, create_listener(kUnconfiguredAddress, "0", true, 8, true, false, false, true, &fd));
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag),
              ElementsAre(std::string("Bind was unsuccessful for (") + kUnconfiguredAddress +
                          ":0) Cannot assign requested address"));
  EXPECT_EQ(-1, fd);
}

TEST_F(SocketTest, EmptyHostBindsToAllAddresses) {
  int fd;
  ASSERT_EQ(0, create_listener("", "0", true, 8, true, false, false, true, &fd));
  struct sockaddr_in addr;
  socklen_t len = sizeof(addr);
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len));
  EXPECT_EQ(AF_INET, addr.sin_family);
  EXPECT_EQ(htonl(INADDR_ANY), addr.sin_addr.s_addr);
  EXPECT_NE(0, addr.sin_port);
  // Listening, left blocking, with the options asked for and no keep-alive.
  EXPECT_EQ(1, IntOption(fd, SOL_SOCKET, SO_ACCEPTCONN));
  EXPECT_FALSE(IsNonBlocking(fd));
  EXPECT_NE(0, IntOption(fd, SOL_SOCKET, SO_REUSEADDR));
  EXPECT_NE(0, IntOption(fd, IPPROTO_TCP, TCP_NODELAY));
  EXPECT_EQ(0, IntOption(fd, SOL_SOCKET, SO_KEEPALIVE));

  int client;
  ASSERT_EQ(1, CreateConnectedSocket(&client, "127.0.0.1", LocalPort(fd), true, false, false));
  const int accepted = accept(fd, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  close(accepted);
  close(client);
  close(fd);
}

TEST_F(SocketTest, PortInUse) {
  int first;
  ASSERT_EQ(0, create_listener("127.0.0.1", "0", true, 8, false, false, false, false, &first));
  const std::string port = LocalPort(first);
  int second = 12345;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-2, create_listener("127.0.0.1", port, true, 8, false, false, true, false, &second));
  EXPECT_THAT(
      LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag),
      ElementsAre("Bind was unsuccessful for (127.0.0.1:" + port + ") Address already in use"));
  EXPECT_EQ(-1, second);
  close(first);

  // Sharing the port works when both ask for it.
  int a;
  int b;
  ASSERT_EQ(0, create_listener("127.0.0.1", "0", true, 8, false, true, false, false, &a));
  EXPECT_EQ(0, create_listener("127.0.0.1", LocalPort(a), true, 8, false, true, false, false, &b));
  EXPECT_NE(0, IntOption(a, SOL_SOCKET, SO_REUSEPORT));
  close(a);
  close(b);
}

TEST_F(SocketTest, UnresolvableHosts) {
  int fd = 12345;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, create_listener("localhost", "0", true, 8, false, false, false, false, &fd));
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag),
              ElementsAre("getaddrinfo for (localhost:0) err"));
  EXPECT_EQ(-1, fd);

  fd = 12345;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, CreateConnectedSocket(&fd, "not-an-address", "80", true, true, true));
  EXPECT_THAT(
      LogMessages(testing::internal::GetCapturedStderr(), 'W', kListenerTag),
      ElementsAre(std::string("getaddrinfo for (not-an-address:80) ") + gai_strerror(EAI_NONAME)));
  EXPECT_EQ(-1, fd);
}

TEST_F(SocketTest, DebugLineOfConnect) {
  ScopedLogLevel debug(2);
  int fd;
  testing::internal::CaptureStderr();
  CreateConnectedSocket(&fd, "not-an-address", "80", true, true, true);
  EXPECT_THAT(LogMessages(testing::internal::GetCapturedStderr(), 'D', kListenerTag),
              ElementsAre("CreateConnectedSocket"));
}

TEST_F(SocketTest, NonBlockingAndClose) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  SetNonBlocking(p[0]);
  SetNonBlocking(p[0]);
  EXPECT_TRUE(IsNonBlocking(p[0]));
  EXPECT_FALSE(IsNonBlocking(p[1]));

  int fd = p[0];
  EXPECT_TRUE(CloseSocket(&fd, 100));
  EXPECT_EQ(-1, fd);
  EXPECT_FALSE(IsOpen(p[0]));
  // Not open: a failure, and the caller's value is left alone.
  fd = p[0];
  EXPECT_FALSE(CloseSocket(&fd, 100));
  EXPECT_EQ(p[0], fd);
  fd = p[1];
  EXPECT_FALSE(CloseSocket(&fd, 0));
  EXPECT_TRUE(IsOpen(p[1]));
  close(p[1]);
}

}  // namespace
