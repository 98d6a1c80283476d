// The notifier against a real control socket, a real database file and the kernel's tables.
#include "control/flow_command_notifier.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "control/day_number.h"
#include "control/operate_db.h"
#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

TEST(FlowCommandNotifierTest, StatusBroadcastsAndTrafficByOwningUid) {
  qvtest::ScratchDir dir;
  setenv("HTTP2QUORVIN_SOCKET", dir.File("ctl").c_str(), 1);
  qvtest::TestListener listener("qvnotify");
  ASSERT_EQ(0, listener.startListener());
  unsetenv("HTTP2QUORVIN_SOCKET");
  OperateDB db(dir.File("flow.db"));
  ASSERT_EQ(0, db.CreateDB());

  // Every status type reaches every client of the socket.
  const char* broadcasts[] = {"300 disconnect normal.",    "400 Disconnect for timeout.",
                              "200 connection unsucceed.", "500 server disconnection",
                              "100 connection succeed.",   "200 connection unsucceed.",
                              "100 connection succeed.",   "300 disconnect normal."};
  qvtest::ControlClient a(dir.File("ctl"));
  qvtest::ControlClient b(dir.File("ctl"));
  ASSERT_EQ("1 1:[echo]", a.Ask("echo"));
  ASSERT_EQ("1 1:[echo]", b.Ask("echo"));
  FlowCommandNotifier fixture(&listener, &db, dir.path());
  for (int type = 0; type < 8; ++type) {
    fixture.OnInformation(type, "TEXT");
    EXPECT_EQ(broadcasts[type], a.Recv()) << type;
    EXPECT_EQ(broadcasts[type], b.Recv()) << type;
  }

  // Traffic of port 0xA001, listed as UID 10061 in tcp6, and of a port listed nowhere.
  std::ofstream(dir.File("tcp6"))
      << "  sl  local_address                         remote_address                   st\n"
         "   0: 0000000000000000FFFF00000100007F:A001 0000000000000000FFFF00000100007F:1FBB 01 "
         "00000000:00000000 00:00000000 00000000 10061        0 4711 1\n";
  fixture.ConnectionAccepted(0xA001, -1, nullptr);
  fixture.ReportFlow(0xA001, 300, 1);
  // The tables change under the open connection: its figures stay with the UID it had, until
  // it closes and the port's next connection is another application's; a late figure of a
  // closed connection, its client gone from the tables, keeps the port's last UID.
  const std::string line =
      "   0: 0000000000000000FFFF00000100007F:A001 00000000000000000000000000000000"
      ":0000 01 00000000:00000000 00:00000000 00000000 ";
  std::ofstream(dir.File("tcp6"), std::ios::trunc) << "header\n" << line << "10099 0 1 1\n";
  fixture.ReportFlow(0xA001, 4000, 0);
  fixture.ReportCompression(0xA001, 9000, 2500);
  fixture.ConnectionClosed(0xA001);
  fixture.ConnectionAccepted(0xA001, -1, nullptr);  // the port's next connection
  fixture.ReportFlow(0xA001, 5, 1);
  fixture.ConnectionClosed(0xA001);
  std::ofstream(dir.File("tcp6"), std::ios::trunc) << "header\n";
  fixture.ReportFlow(0xA001, 6, 1);  // a late figure of the closed connection
  testing::internal::CaptureStderr();
  fixture.ReportFlow(0xB002, 77, 0);
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("port is 45058"));

  // A real loopback connection of this process: its source port belongs to our UID.
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&addr), len));
  ASSERT_EQ(0, listen(server, 1));
  getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&addr), len));
  getsockname(client, reinterpret_cast<sockaddr*>(&addr), &len);
  unsetenv("HTTP2QUORVIN_PROC_NET");
  FlowCommandNotifier(&listener, &db).ReportFlow(ntohs(addr.sin_port), 123, 1);
  close(client);
  close(server);

  std::vector<AppFlowTotals> apps;
  const int today = TodayDayNumber();
  ASSERT_EQ(0, db.ReaddetailDB(&apps, today - 1, today + 1, ""));
  ASSERT_EQ(4u, apps.size());
  EXPECT_EQ(10061, apps[0].uid);
  EXPECT_EQ(300, apps[0].flow.up);
  EXPECT_EQ(4000, apps[0].flow.down);
  EXPECT_EQ(9000, apps[0].flow.uncompressed);
  EXPECT_EQ(2500, apps[0].flow.compressed);
  EXPECT_EQ(10099, apps[1].uid);
  EXPECT_EQ(11, apps[1].flow.up);
  EXPECT_EQ(-1, apps[2].uid);
  EXPECT_EQ(77, apps[2].flow.down);
  EXPECT_EQ(static_cast<int>(getuid()), apps[3].uid);
  EXPECT_EQ(123, apps[3].flow.up);
}

// The figure of a client's last read or write often arrives after the client closed: its port
// is then gone from the tables, or left in TIME_WAIT (listed as UID 0).
TEST(FlowCommandNotifierTest, AClientThatJustClosedKeepsItsUid) {
  qvtest::ScratchDir dir;
  OperateDB db(dir.File("flow.db"));
  ASSERT_EQ(0, db.CreateDB());
  FlowCommandNotifier notifier(nullptr, &db, dir.path());
  const std::string head = "  sl  local_address rem_address   st\n";
  const struct {
    const char* state;  // of port 0xA001's line; null: no line
    int bytes;
  } steps[] = {{"01", 300}, {"06", 40}, {nullptr, 2}};
  for (const auto& step : steps) {
    // Past the second in which a port's UID is taken without reading the tables again.
    if (step.bytes != 300)
      usleep(1100 * 1000);
    std::string table = head;
    if (step.state != nullptr) {
      table += std::string("   0: 0100007F:A001 0100007F:1FBB ") + step.state +
               " 00000000:00000000 00:00000000 00000000 " +
               (std::string(step.state) == "06" ? "    0" : "10061") + "        0 0 1\n";
    }
    std::ofstream(dir.File("tcp")) << table;
    std::ofstream(dir.File("tcp6")) << head;
    if (step.state != nullptr && std::string(step.state) == "06") {
      EXPECT_EQ(-1, TcpUidLookup(dir.path()).Find(0xA001));
    }
    notifier.ReportFlow(0xA001, step.bytes, 1);
  }
  // A port never seen stays unknown.
  notifier.ReportFlow(0xA002, 5, 1);

  std::vector<AppFlowTotals> apps;
  const int today = TodayDayNumber();
  ASSERT_EQ(0, db.ReaddetailDB(&apps, today, today, ""));
  ASSERT_EQ(2u, apps.size());
  EXPECT_EQ(10061, apps[0].uid);
  EXPECT_EQ(342, apps[0].flow.up);
  EXPECT_EQ(-1, apps[1].uid);
  EXPECT_EQ(5, apps[1].flow.up);
}

}  // namespace
