#include "control/tcp_uid_lookup.h"

#include <gtest/gtest.h>
#include <stdio.h>
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

}  // namespace
