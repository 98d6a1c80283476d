#include "front/own_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// A socket bound to `ip` on a free port; the port.
int Bound(const char* ip, int* fd) {
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &addr.sin_addr);
  socklen_t len = sizeof(addr);
  if (bind(*fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      getsockname(*fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return -1;
  return ntohs(addr.sin_port);
}

TEST(OwnAddress, RecognisesEveryWayOfNamingTheListeningSocket) {
  int fd = -1;
  const int port = Bound("127.0.0.1", &fd);
  ASSERT_GT(port, 0);
  const OwnAddress own(fd);
  const std::string p = std::to_string(port);
  const struct {
    std::string authority;
    int default_port;
    bool is_target;
  } kCases[] = {
      {"127.0.0.1:" + p, 80, true},
      {"localhost:" + p, 80, true},
      {"LocalHost.:" + p, 80, true},
      {"app.localhost:" + p, 80, true},
      {"127.1:" + p, 80, true},
      {"2130706433:" + p, 80, true},
      {"0x7f000001:" + p, 80, true},
      {"0.0.0.0:" + p, 80, true},
      {"user:secret@127.0.0.1:" + p, 80, true},
      {"[::ffff:127.0.0.1]:" + p, 80, true},
      {"127.0.0.1", port, true},
      // Another port, another address, a name only the gateway can look up, or no address.
      {"127.0.0.1:" + std::to_string(port + 1), 80, false},
      {"127.0.0.2:" + p, 80, false},
      {"[::1]:" + p, 80, false},
      {"example.com:" + p, 80, false},
      {"127.0.0.1:" + p + "x", 80, false},
      {"", 80, false},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(c.is_target, own.IsTarget(c.authority, c.default_port)) << c.authority;
  close(fd);

  // Bound to any address: every address of this host reaches it.
  const int any_port = Bound("0.0.0.0", &fd);
  const OwnAddress any(fd);
  EXPECT_TRUE(any.IsTarget("127.0.0.9:" + std::to_string(any_port), 80));
  EXPECT_FALSE(any.IsTarget("192.0.2.1:" + std::to_string(any_port), 80));
  close(fd);
  // No socket: nothing is the proxy.
  EXPECT_FALSE(OwnAddress(-1).IsTarget("127.0.0.1:80", 80));
}

}  // namespace
