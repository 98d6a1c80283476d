#include "control/tcp_uid_lookup.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <tuple>

#include "port/sysutils/control_socket_util.h"

namespace {

// A table in the kernel's layout: a header, then one line per {address, port, uid}.
std::string Table(std::initializer_list<std::tuple<const char*, int, int>> entries) {
  std::string text =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt"
      "   uid  timeout inode\n";
  int sl = 0;
  for (const auto& e : entries) {
    char line[512];
    snprintf(line, sizeof(line),
             "%4d: %s:%04X 00000000:0000 01 00000000:00000000 00:00000000 00000000 %5d        0 "
             "%d 1 0000000000000000 20 4 30 10 -1\n",
             sl, std::get<0>(e), std::get<1>(e), std::get<2>(e), 40000 + sl);
    text += line;
    ++sl;
  }
  return text;
}

const char kV4[] = "0100007F";
const char kMapped[] = "0000000000000000FFFF00000100007F";

TEST(TcpUidLookupTest, SearchesTcp6ThenTcp) {
  qvtest::ScratchDir dir;
  TcpUidLookup lookup(dir.path());
  const std::string nowhere = "can not find the uid of package whick local port is ";
  const struct {
    int port;
    int uid;
    std::string warning;
  } cases[] = {
      {0xA001, 10061, ""},  // IPv4-mapped, only in tcp6
      {0xA002, 10062, ""},  // in both: tcp6 first
      {0xA003, 10063, ""},  // only in tcp
      {0xA004, 10064, ""},  // the first matching line
      {0xA005, -1, nowhere + "40965"},
      {80, -1, "open " + dir.File("tcp6") + " failed. "},  // neither table
  };
  for (const auto& c : cases) {
    if (c.port == 80) {
      unlink(dir.File("tcp").c_str());
      unlink(dir.File("tcp6").c_str());
    } else {
      std::ofstream(dir.File("tcp6"))
          << Table({{kMapped, 0xA001, 10061}, {kMapped, 0xA002, 10062}});
      std::ofstream(dir.File("tcp")) << Table(
          {{kV4, 0xA002, 10099}, {kV4, 0xA003, 10063}, {kV4, 0xA004, 10064}, {kV4, 0xA004, 2}});
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.uid, lookup.Find(c.port)) << c.port;
    std::string log = testing::internal::GetCapturedStderr();
    if (c.warning.empty()) {
      EXPECT_EQ("", log);
    } else {
      EXPECT_EQ(0u, log.find("W/control_message(")) << log;
      EXPECT_NE(std::string::npos, log.find(c.warning)) << log;
    }
  }
  // Either table alone is searched.
  std::ofstream(dir.File("tcp")) << Table({{kV4, 5555, 2000}});
  EXPECT_EQ(2000, lookup.Find(5555));
}

// The kernel's own tables, asked through sock_diag: real loopback connections of this process,
// to an IPv4 listener and to a dual-stack one (the accepted socket then holds IPv4-mapped
// addresses while the client's socket is IPv4). One lookup object asks every question, as a
// daemon's does, and the first of them finds nothing.
TEST(TcpUidLookupTest, KernelTablesFindRealConnections) {
  const TcpUidLookup kernel("/proc/net");
  const int me = static_cast<int>(getuid());
  // A port no socket holds: bound once, never connected, closed.
  int unused = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in any = {};
  any.sin_family = AF_INET;
  socklen_t any_len = sizeof(any);
  ASSERT_EQ(0, bind(unused, reinterpret_cast<sockaddr*>(&any), any_len));
  getsockname(unused, reinterpret_cast<sockaddr*>(&any), &any_len);
  close(unused);
  const int port = ntohs(any.sin_port);
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, kernel.Find(port));
  EXPECT_NE(std::string::npos,
            testing::internal::GetCapturedStderr().find(
                "can not find the uid of package whick local port is " + std::to_string(port)));

  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family);
    int server = socket(family, SOCK_STREAM, 0);
    sockaddr_storage addr = {};
    socklen_t len;
    if (family == AF_INET) {
      sockaddr_in* in = reinterpret_cast<sockaddr_in*>(&addr);
      in->sin_family = AF_INET;
      in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof(*in);
    } else {
      int off = 0;
      setsockopt(server, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
      sockaddr_in6* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
      in6->sin6_family = AF_INET6;
      in6->sin6_addr = in6addr_any;
      len = sizeof(*in6);
    }
    ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&addr), len));
    ASSERT_EQ(0, listen(server, 1));
    ASSERT_EQ(0, getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len));
    const int server_port =
        ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&addr)->sin_port
                                : reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(server_port));
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&to), sizeof(to)));
    int accepted = accept(server, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    sockaddr_in mine = {};
    socklen_t mine_len = sizeof(mine);
    getsockname(client, reinterpret_cast<sockaddr*>(&mine), &mine_len);
    const int client_port = ntohs(mine.sin_port);

    // The accepted socket's two ends, as accept4 and the listener give them to the daemon.
    sockaddr_storage peer = {};
    sockaddr_storage local = {};
    socklen_t peer_len = sizeof(peer);
    socklen_t local_len = sizeof(local);
    getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    getsockname(accepted, reinterpret_cast<sockaddr*>(&local), &local_len);
    for (int round = 0; round < 3; ++round) {
      EXPECT_EQ(me, kernel.FindPeer(accepted, client_port));
      EXPECT_EQ(me, kernel.FindPeer(reinterpret_cast<const sockaddr*>(&peer),
                                    reinterpret_cast<const sockaddr*>(&local), client_port));
      EXPECT_EQ(me, kernel.Find(client_port));
    }
    // Ends that name no connection: the client's port one off.
    if (family == AF_INET)
      reinterpret_cast<sockaddr_in*>(&peer)->sin_port =
          htons(static_cast<uint16_t>(client_port + 1));
    else
      reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port =
          htons(static_cast<uint16_t>(client_port + 1));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, kernel.FindPeer(reinterpret_cast<const sockaddr*>(&peer),
                                  reinterpret_cast<const sockaddr*>(&local), client_port + 1));
    testing::internal::GetCapturedStderr();
    close(client);
    close(accepted);
    close(server);
  }
}

}  // namespace
