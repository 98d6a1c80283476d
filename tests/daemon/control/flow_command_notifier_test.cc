// The notifier against a real control socket, a real database file and kernel-style tables.
#include "control/flow_command_notifier.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "control/day_number.h"
#include "control/operate_db.h"
#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

using qvtest::ControlClient;

class FlowCommandNotifierTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("HTTP2QUORVIN_SOCKET", dir_.File("ctl").c_str(), 1);
    listener_.reset(new qvtest::TestListener("qvnotify"));
    ASSERT_EQ(0, listener_->startListener());
    db_.reset(new OperateDB(dir_.File("flow.db")));
    ASSERT_EQ(0, db_->CreateDB());
    // One client of UID 10061 on local port 0xA001 (an IPv4-mapped entry in tcp6).
    std::ofstream(dir_.File("tcp6"))
        << "  sl  local_address                         remote_address                        st "
           "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
           "   0: 0000000000000000FFFF00000100007F:A001 0000000000000000FFFF00000100007F:1FBB 01 "
           "00000000:00000000 00:00000000 00000000 10061        0 4711 1 0000000000000000 20 4 "
           "30 10 -1\n";
    std::ofstream(dir_.File("tcp")) << "  sl  local_address rem_address   st\n";
    notifier_.reset(new FlowCommandNotifier(listener_.get(), db_.get(), dir_.path()));
  }
  void TearDown() override {
    notifier_.reset();
    listener_.reset();
    unsetenv("HTTP2QUORVIN_SOCKET");
  }

  qvtest::ScratchDir dir_;
  std::unique_ptr<qvtest::TestListener> listener_;
  std::unique_ptr<OperateDB> db_;
  std::unique_ptr<FlowCommandNotifier> notifier_;
};

TEST_F(FlowCommandNotifierTest, StatusTypesBroadcastToEveryClient) {
  const struct {
    int type;
    const char* broadcast;
  } cases[] = {
      {4, "100 connection succeed."},  {6, "100 connection succeed."},
      {2, "200 connection unsucceed."}, {5, "200 connection unsucceed."},
      {0, "300 disconnect normal."},   {7, "300 disconnect normal."},
      {-1, "300 disconnect normal."},  {1, "400 Disconnect for timeout."},
      {3, "500 server disconnection"},
  };
  ControlClient a(dir_.File("ctl"));
  ControlClient b(dir_.File("ctl"));
  ASSERT_EQ("1 1:[echo]", a.Ask("echo"));
  ASSERT_EQ("1 1:[echo]", b.Ask("echo"));
  for (const auto& c : cases) {
    notifier_->OnInformation(c.type, "TEXT");
    EXPECT_EQ(c.broadcast, a.Recv()) << c.type;
    EXPECT_EQ(c.broadcast, b.Recv()) << c.type;
  }
}

TEST_F(FlowCommandNotifierTest, TrafficGoesToTheDayRowOfTheOwningUid) {
  const int today = TodayDayNumber();
  notifier_->ReportFlow(0xA001, 300, 1);
  notifier_->ReportFlow(0xA001, 4000, 0);
  notifier_->ReportFlow(0xA001, 200, 1);
  notifier_->ReportCompression(0xA001, 9000, 2500);
  testing::internal::CaptureStderr();
  notifier_->ReportFlow(0xB002, 77, 0);  // no such port: filed under UID -1
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos,
            log.find("can not find the uid of package whick local port is 45058"))
      << log;

  std::vector<AppFlowTotals> apps;
  ASSERT_EQ(0, db_->ReaddetailDB(&apps, today - 1, today + 1, ""));
  ASSERT_EQ(2u, apps.size());
  EXPECT_EQ(10061, apps[0].uid);
  EXPECT_EQ(500, apps[0].flow.up);
  EXPECT_EQ(4000, apps[0].flow.down);
  EXPECT_EQ(9000, apps[0].flow.uncompressed);
  EXPECT_EQ(2500, apps[0].flow.compressed);
  EXPECT_EQ(-1, apps[1].uid);
  EXPECT_EQ(77, apps[1].flow.down);
}

TEST_F(FlowCommandNotifierTest, RealClientSocketInTheKernelTables) {
  // A loopback connection of this process: its source port belongs to our UID.
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(server, 1));
  socklen_t len = sizeof(addr);
  getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  sockaddr_in local = {};
  len = sizeof(local);
  getsockname(client, reinterpret_cast<sockaddr*>(&local), &len);

  unsetenv("HTTP2QUORVIN_PROC_NET");
  FlowCommandNotifier real(listener_.get(), db_.get());
  real.ReportFlow(ntohs(local.sin_port), 123, 1);
  const int today = TodayDayNumber();
  std::vector<AppFlowTotals> apps;
  ASSERT_EQ(0, db_->ReaddetailDB(&apps, today - 1, today + 1, ""));
  ASSERT_EQ(1u, apps.size());
  EXPECT_EQ(static_cast<int>(getuid()), apps[0].uid);
  EXPECT_EQ(123, apps[0].flow.up);
  close(client);
  close(server);
}

}  // namespace
