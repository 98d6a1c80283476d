#include "control/tcp_uid_lookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "port/sysutils/control_socket_util.h"

namespace {

const char kTcpHeader[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";
const char kTcp6Header[] =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

// One table line in the kernel's layout; the port in hex, as the kernel writes it.
std::string Line(int sl, const std::string& addr, int port, int uid) {
  char buf[512];
  snprintf(buf, sizeof(buf),
           "%4d: %s:%04X 00000000:0000 01 00000000:00000000 00:00000000 00000000 %5d        0 "
           "%d 1 0000000000000000 20 4 30 10 -1\n",
           sl, addr.c_str(), port, uid, 40000 + sl);
  return buf;
}

const char kV4[] = "0100007F";
const char kMapped[] = "0000000000000000FFFF00000100007F";
const char kV6[] = "00000000000000000000000001000000";

struct LookupCase {
  const char* what;
  int port;
  int uid;
  const char* warning;  // part of the WARN line, or null for none
};

TEST(TcpUidLookupTest, SearchesTcp6ThenTcp) {
  qvtest::ScratchDir dir;
  std::ofstream(dir.File("tcp6")) << kTcp6Header << Line(0, kV6, 8123, 0)
                                  << Line(1, kMapped, 0xA001, 10061)  // only in tcp6
                                  << Line(2, kMapped, 0xA002, 10062);
  std::ofstream(dir.File("tcp")) << kTcpHeader << Line(0, kV4, 8123, 0)
                                 << Line(1, kV4, 0xA002, 10099)  // tcp6 wins
                                 << Line(2, kV4, 0xA003, 10063)  // only in tcp
                                 << Line(3, kV4, 0xA004, 10064) << Line(4, kV4, 0xA004, 10065);
  const LookupCase cases[] = {
      {"IPv4-mapped entry only in tcp6", 0xA001, 10061, nullptr},
      {"in both: tcp6 first", 0xA002, 10062, nullptr},
      {"only in tcp", 0xA003, 10063, nullptr},
      {"first matching line", 0xA004, 10064, nullptr},
      {"nowhere", 0xA005, -1, "can not find the uid of package whick local port is 40965"},
      {"the header is no entry", 0, -1, "can not find the uid"},
  };
  TcpUidLookup lookup(dir.path());
  for (const LookupCase& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.uid, lookup.Find(c.port)) << c.what;
    std::string log = testing::internal::GetCapturedStderr();
    if (c.warning != nullptr) {
      EXPECT_NE(std::string::npos, log.find("W/control_message(")) << c.what << ": " << log;
      EXPECT_NE(std::string::npos, log.find(c.warning)) << c.what << ": " << log;
    } else {
      EXPECT_EQ("", log) << c.what;
    }
  }
}

TEST(TcpUidLookupTest, MissingTables) {
  qvtest::ScratchDir dir;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, TcpUidLookup(dir.path()).Find(80));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("open " + dir.File("tcp6") + " failed. ")) << log;

  // Either table on its own is searched.
  std::ofstream(dir.File("tcp")) << kTcpHeader << Line(0, kV4, 5555, 2000);
  EXPECT_EQ(2000, TcpUidLookup(dir.path()).Find(5555));
  unlink(dir.File("tcp").c_str());
  std::ofstream(dir.File("tcp6")) << kTcp6Header << Line(0, kMapped, 5556, 2001);
  EXPECT_EQ(2001, TcpUidLookup(dir.path()).Find(5556));
}

TEST(TcpUidLookupTest, FindsOwnSocketInTheKernelTables) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(fd, 1));
  socklen_t len = sizeof(addr);
  ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len));
  unsetenv("HTTP2QUORVIN_PROC_NET");
  TcpUidLookup lookup;
  EXPECT_EQ("/proc/net", lookup.folder());
  EXPECT_EQ(static_cast<int>(getuid()), lookup.Find(ntohs(addr.sin_port)));
  close(fd);
}

}  // namespace
