// The control socket listener through real Unix sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

using qvtest::ControlClient;

class FrameworkListenerTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("HTTP2QUORVIN_SOCKET", path_.c_str(), 1);
    ASSERT_EQ(0, listener_->startListener());
  }
  void TearDown() override { unsetenv("HTTP2QUORVIN_SOCKET"); }

  qvtest::ScratchDir dir_;
  std::string path_ = dir_.File("ctl");
  std::unique_ptr<qvtest::TestListener> listener_{new qvtest::TestListener("qvtest")};
};

TEST_F(FrameworkListenerTest, SplitsWordsAndAnswersEachCommand) {
  const char* cases[][2] = {
      {"echo", "1 1:[echo]"},
      {"echo  a\t b\r\n", "1 3:[echo][a][b]"},
      {"echo \"a b\" c", "1 3:[echo][a b][c]"},
      {"echo a\\ b \\\"x\\\" \"say \\\"hi\\\"\"", "1 4:[echo][a b][\"x\"][say \"hi\"]"},
      {"echo \"\" a\"b c\"d back\\\\slash x\\", "1 5:[echo][][ab cd][back\\slash][x\\]"},
      {"echo \"open", "500 Unclosed quotes error"},
      {"nosuch a b", "500 Command not recognized"},
      {"ECHO", "500 Command not recognized"},
      {"  ", "500 Command not recognized"},
  };
  ControlClient c(path_);
  for (auto& k : cases)
    EXPECT_EQ(k[1], c.Ask(k[0])) << k[0];

  // Several commands in one write, one command a byte at a time, then a long one: each is
  // read whole and answered in order with a NUL-terminated reply.
  ASSERT_TRUE(c.Send(std::string("echo a\0echo b\0", 14), true));
  for (char ch : std::string("echo c d") + '\0')
    ASSERT_TRUE(c.Send(std::string(1, ch), true));
  EXPECT_EQ("1 2:[echo][a]", c.Recv());
  EXPECT_EQ("1 2:[echo][b]", c.Recv());
  EXPECT_EQ("1 3:[echo][c][d]", c.Recv());
  std::string word(300000, 'x');
  word[123456] = 'y';
  EXPECT_EQ("1 2:[echo][" + word + "]", c.Ask("echo " + word));

  // A failing handler is logged and sends nothing: the next reply is the first message.
  testing::internal::CaptureStderr();
  ASSERT_TRUE(c.Send("fail now"));
  EXPECT_EQ("1 1:[echo]", c.Ask("echo"));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("/FrameworkListener("));
}

TEST_F(FrameworkListenerTest, BroadcastsReachEveryClientWhileOthersComeAndGo) {
  std::vector<std::unique_ptr<ControlClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back(new ControlClient(path_));
    ASSERT_EQ("1 1:[echo]", clients.back()->Ask("echo"));  // taken in by the listener
  }
  ASSERT_TRUE(clients[0]->Send("bcast 400 \"Disconnect for timeout.\""));
  for (auto& c : clients)
    EXPECT_EQ("400 Disconnect for timeout.", c->Recv());
  EXPECT_EQ("1 sent", clients[0]->Recv());

  // Clients vanish while another thread broadcasts: no SIGPIPE, and the others get every
  // message in order.
  std::thread broadcaster([&] {
    for (int i = 0; i < 200; ++i)
      listener_->sendBroadcast(100, std::to_string(i).c_str(), false);
  });
  for (int i = 0; i < 20; ++i)
    ControlClient(path_).Ask("echo");
  broadcaster.join();
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ("100 " + std::to_string(i), clients[2]->Recv());

  // A client that sends more than the limit without a NUL is dropped, alone.
  ControlClient flood(path_);
  testing::internal::CaptureStderr();
  flood.Send(std::string(FrameworkListener::kMaxCommandBytes + 65536, 'z'), true);
  EXPECT_EQ("<closed>", flood.Recv());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ("1 2:[echo][ok]", clients[2]->Ask("echo ok"));
}

TEST_F(FrameworkListenerTest, SocketFileModeReuseAndRestart) {
  struct stat st;
  ASSERT_EQ(0, stat(path_.c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0660u, st.st_mode & 0777);
  // A second listener refuses a live socket rather than steal it.
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, qvtest::TestListener("qvtest").startListener());
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("in use"));

  // Stop drops the clients and removes the file; start serves again.
  ControlClient before(path_);
  ASSERT_EQ("1 1:[echo]", before.Ask("echo"));
  ASSERT_EQ(0, listener_->stopListener());
  EXPECT_EQ("<closed>", before.Recv());
  EXPECT_NE(0, access(path_.c_str(), F_OK));
  ASSERT_EQ(0, listener_->startListener());
  EXPECT_EQ("1 1:[echo]", ControlClient(path_).Ask("echo"));
  listener_.reset();

  // A socket file left by a dead process is replaced.
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr = qvtest::UnixAddress(path_);
  ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  close(stale);
  qvtest::TestListener again("qvtest");
  ASSERT_EQ(0, again.startListener());
  EXPECT_EQ("1 1:[echo]", ControlClient(path_).Ask("echo"));
}

// Clients, the daemon's tests among them, take the socket file as the sign that they may
// connect. A watcher connects the moment the file appears, at each of many starts: it is never
// refused.
TEST_F(FrameworkListenerTest, TheFileAppearsOnlyOnceTheSocketListens) {
  std::atomic<int> armed{0};
  std::atomic<bool> done{false};
  int refused = 0;
  std::thread watcher([&] {
    while (!done) {
      if (armed.load() == 0)
        continue;
      struct stat st;
      if (stat(path_.c_str(), &st) != 0)
        continue;
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      const sockaddr_un addr = qvtest::UnixAddress(path_);
      if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
        ++refused;
      close(fd);
      armed = 0;
    }
  });
  for (int round = 0; round < 60; ++round) {
    ASSERT_EQ(0, listener_->stopListener());
    armed = 1;
    ASSERT_EQ(0, listener_->startListener());
    while (armed.load() != 0)
      std::this_thread::yield();
  }
  done = true;
  watcher.join();
  EXPECT_EQ(0, refused);
  EXPECT_EQ("1 1:[echo]", ControlClient(path_).Ask("echo"));
}

TEST(FrameworkListenerInitTest, ServesTheDescriptorInitPassed) {
  qvtest::ScratchDir dir;
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr = qvtest::UnixAddress(dir.File("init"));
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  setenv("ANDROID_SOCKET_http2proxy", std::to_string(fd).c_str(), 1);
  setenv("HTTP2QUORVIN_SOCKET", dir.File("unused").c_str(), 1);
  qvtest::TestListener listener("http2proxy");
  for (int run = 0; run < 2; ++run) {  // the inherited socket outlives a stop
    ASSERT_EQ(0, listener.startListener());
    EXPECT_EQ("1 2:[echo][init]", ControlClient(dir.File("init")).Ask("echo init"));
    ASSERT_EQ(0, listener.stopListener());
  }
  EXPECT_NE(0, access(dir.File("unused").c_str(), F_OK));
  unsetenv("ANDROID_SOCKET_http2proxy");
  unsetenv("HTTP2QUORVIN_SOCKET");

  // The direct hook of fuzzers: one command on a socket pair; a vanished peer is an error.
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  {
    SocketClient client(sv[0], true);
    listener.dispatchCommand(&client, "echo \"a b\"");
    listener.dispatchCommand(&client, "nope");
  }
  char buf[128];
  ssize_t n = read(sv[1], buf, sizeof(buf));
  EXPECT_EQ(std::string("1 2:[echo][a b]\0"
                        "500 Command not recognized\0",
                        43),
            std::string(buf, n > 0 ? n : 0));
  SocketClient orphan(sv[1], true);
  EXPECT_EQ(-1, orphan.sendMsg(1, "x", false));
}

}  // namespace

namespace {

// At most 16 clients; one that stops reading is dropped once it falls more than 64 KB behind,
// and never holds up a broadcast to the others.
TEST_F(FrameworkListenerTest, SixteenClientsAndNoneHoldsUpABroadcast) {
  std::vector<std::unique_ptr<ControlClient>> clients;
  for (size_t i = 0; i < SocketListener::kMaxClients; ++i) {
    clients.emplace_back(new ControlClient(path_));
    ASSERT_EQ("1 1:[echo]", clients.back()->Ask("echo"));
  }
  testing::internal::CaptureStderr();
  {
    ControlClient extra(path_);
    EXPECT_EQ("<closed>", extra.Recv());
  }
  EXPECT_NE(std::string::npos,
            testing::internal::GetCapturedStderr().find("16 clients already; one more is closed"));

  // clients[0] never reads; the others read every message as it comes. The broadcasts are
  // paced so that a reading client is never more than two windows behind (64 messages, less
  // than its socket takes): on a loaded machine its thread may run late, and it must not be
  // taken for one that stopped reading.
  const int kMessages = 2000;
  const int kWindow = 32;
  const std::string text(1000, 'b');
  std::vector<std::thread> readers;
  std::atomic<int> complete{0};
  std::unique_ptr<std::atomic<int>[]> received(new std::atomic<int>[clients.size()]);
  for (size_t i = 0; i < clients.size(); ++i)
    received[i].store(0);
  for (size_t i = 1; i < clients.size(); ++i) {
    readers.emplace_back([&, i] {
      for (int m = 0; m < kMessages; ++m) {
        if (clients[i]->Recv() != "100 " + text) {
          received[i].store(kMessages);
          return;
        }
        received[i].store(m + 1);
      }
      ++complete;
    });
  }
  testing::internal::CaptureStderr();
  double seconds = 0;
  for (int m = 0; m < kMessages; ++m) {
    if (m % kWindow == 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      for (size_t i = 1; i < clients.size(); ++i) {
        while (received[i].load() < m - kWindow && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    // Only the broadcasts themselves are timed: they never wait for a client.
    const auto start = std::chrono::steady_clock::now();
    listener_->sendBroadcast(100, text.c_str(), false);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  for (auto& t : readers)
    t.join();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(static_cast<int>(clients.size()) - 1, complete.load());
  // 2 MB to a client that reads nothing: the broadcasts go on without it.
  EXPECT_LT(seconds, 5.0);
  EXPECT_NE(std::string::npos, log.find("fell behind by more than 65536 bytes; dropped")) << log;
  // What its socket took before it was dropped, then the end: no message half written.
  int whole = 0;
  for (std::string msg; (msg = clients[0]->Recv()) != "<closed>"; ++whole)
    ASSERT_EQ("100 " + text, msg);
  EXPECT_LT(whole, kMessages);
  // Its place is free again, and the others are served.
  clients[0].reset(new ControlClient(path_));
  EXPECT_EQ("1 1:[echo]", clients[0]->Ask("echo"));
  EXPECT_EQ("1 2:[echo][ok]", clients[5]->Ask("echo ok"));
}

}  // namespace
