// The control socket listener through real Unix sockets.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

using qvtest::ControlClient;
using qvtest::ScratchDir;
using qvtest::TestListener;

// The messages, each with its NUL, as one byte string.
std::string Wire(std::initializer_list<const char*> messages) {
  std::string out;
  for (const char* m : messages) {
    out += m;
    out += '\0';
  }
  return out;
}

class FrameworkListenerTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("ctl");
    setenv("HTTP2QUORVIN_SOCKET", path_.c_str(), 1);
    unsetenv("ANDROID_SOCKET_qvtest");
    listener_.reset(new TestListener("qvtest"));
    ASSERT_EQ(0, listener_->startListener());
  }
  void TearDown() override {
    listener_.reset();
    unsetenv("HTTP2QUORVIN_SOCKET");
  }

  ScratchDir dir_;
  std::string path_;
  std::unique_ptr<TestListener> listener_;
};

struct SplitCase {
  const char* command;
  const char* reply;
};

TEST_F(FrameworkListenerTest, SplitsWordsWithQuotesAndEscapes) {
  const SplitCase cases[] = {
      {"echo", "1 1:[echo]"},
      {"echo  a   b ", "1 3:[echo][a][b]"},
      {"echo\ta\r\nb", "1 3:[echo][a][b]"},
      {"echo \"a b\" c", "1 3:[echo][a b][c]"},
      {"echo a\\ b", "1 2:[echo][a b]"},
      {"echo \\\"x\\\"", "1 2:[echo][\"x\"]"},
      {"echo \"say \\\"hi\\\"\"", "1 2:[echo][say \"hi\"]"},
      {"echo \"\" x", "1 3:[echo][][x]"},
      {"echo a\"b c\"d", "1 2:[echo][ab cd]"},
      {"echo back\\\\slash", "1 2:[echo][back\\slash]"},
      {"echo x\\", "1 2:[echo][x\\]"},
      {"echo \"open", "500 Unclosed quotes error"},
      {"nosuch a b", "500 Command not recognized"},
      {"ECHO", "500 Command not recognized"},
      {"", "500 Command not recognized"},
      {"   ", "500 Command not recognized"},
  };
  ControlClient c(path_);
  ASSERT_TRUE(c.ok());
  for (const SplitCase& k : cases)
    EXPECT_EQ(k.reply, c.Ask(k.command)) << "command: " << k.command;
}

TEST_F(FrameworkListenerTest, MessagesAreNulTerminatedAndMayArriveInPieces) {
  ControlClient c(path_);
  ASSERT_TRUE(c.ok());
  // Two commands in one write, then one command a byte at a time.
  ASSERT_TRUE(c.SendRaw(std::string("echo a\0echo b\0", 14)));
  std::string piecewise = std::string("echo c d") + '\0';
  for (char ch : piecewise)
    ASSERT_TRUE(c.SendRaw(std::string(1, ch)));
  char raw[64];
  std::string bytes;
  const std::string expected = Wire({"1 2:[echo][a]", "1 2:[echo][b]", "1 3:[echo][c][d]"});
  while (bytes.size() < expected.size()) {
    ssize_t n = read(c.fd(), raw, sizeof(raw));
    ASSERT_GT(n, 0);
    bytes.append(raw, static_cast<size_t>(n));
  }
  EXPECT_EQ(expected, bytes);
}

TEST_F(FrameworkListenerTest, FailingHandlerSendsNothingAndIsLogged) {
  ControlClient c(path_);
  ASSERT_TRUE(c.ok());
  testing::internal::CaptureStderr();
  ASSERT_TRUE(c.Send("fail now"));
  // No reply of its own: the next command's reply is the first message.
  EXPECT_EQ("1 1:[echo]", c.Ask("echo"));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("/FrameworkListener(")) << log;
  EXPECT_NE(std::string::npos, log.find("Handler 'fail' error (-1)")) << log;
}

TEST_F(FrameworkListenerTest, LongCommandIsReadWhole) {
  ControlClient c(path_);
  ASSERT_TRUE(c.ok());
  std::string word(300000, 'x');
  word[123456] = 'y';
  EXPECT_EQ("1 2:[echo][" + word + "]", c.Ask("echo " + word));
  // Still usable afterwards.
  EXPECT_EQ("1 1:[echo]", c.Ask("echo"));
}

TEST_F(FrameworkListenerTest, CommandWithoutEndBeyondTheLimitDropsOnlyThatClient) {
  ControlClient other(path_);
  ASSERT_EQ("1 1:[echo]", other.Ask("echo"));
  ControlClient c(path_);
  ASSERT_TRUE(c.ok());
  testing::internal::CaptureStderr();
  std::string flood(FrameworkListener::kMaxCommandBytes + 65536, 'z');
  c.SendRaw(flood);  // may fail part way once the listener drops us
  EXPECT_EQ("<closed>", c.Recv());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ("1 2:[echo][ok]", other.Ask("echo ok"));
}

TEST_F(FrameworkListenerTest, BroadcastsReachEveryClientAndSurviveVanishingOnes) {
  std::vector<std::unique_ptr<ControlClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back(new ControlClient(path_));
    // A round trip makes sure the listener has taken the client in.
    ASSERT_EQ("1 1:[echo]", clients.back()->Ask("echo"));
  }
  // The requesting client gets the broadcast before its own reply.
  ASSERT_TRUE(clients[0]->Send("bcast 400 \"Disconnect for timeout.\""));
  for (auto& c : clients)
    EXPECT_EQ("400 Disconnect for timeout.", c->Recv());
  EXPECT_EQ("1 sent", clients[0]->Recv());

  // Clients that vanish while other threads broadcast: no SIGPIPE, no stall, the others get
  // every message in order.
  std::atomic<bool> done{false};
  std::thread broadcaster([&] {
    for (int i = 0; i < 200; ++i)
      listener_->sendBroadcast(100, ("m" + std::to_string(i)).c_str(), false);
    done = true;
  });
  for (int i = 0; i < 20; ++i) {
    ControlClient gone(path_);
    gone.Ask("echo");
    gone.Close();
  }
  broadcaster.join();
  ASSERT_TRUE(done);
  for (size_t k = 1; k < clients.size(); ++k)
    for (int i = 0; i < 200; ++i)
      ASSERT_EQ("100 m" + std::to_string(i), clients[k]->Recv()) << "client " << k;

  clients[1]->Close();
  listener_->sendBroadcast(300, "disconnect normal.", false);
  EXPECT_EQ("300 disconnect normal.", clients[2]->Recv());
}

TEST_F(FrameworkListenerTest, BoundSocketModeRestartAndPathRules) {
  struct stat st;
  ASSERT_EQ(0, stat(path_.c_str(), &st));
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(0660u, st.st_mode & 0777);
  EXPECT_EQ(path_, listener_->socketPath());

  // A second listener on a live path refuses instead of stealing it.
  testing::internal::CaptureStderr();
  TestListener second("qvtest");
  EXPECT_EQ(-1, second.startListener());
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("in use"));

  // Stop removes the socket; start serves again on a fresh one.
  ControlClient before(path_);
  ASSERT_EQ("1 1:[echo]", before.Ask("echo"));
  ASSERT_EQ(0, listener_->stopListener());
  EXPECT_EQ("<closed>", before.Recv());
  EXPECT_NE(0, access(path_.c_str(), F_OK));
  EXPECT_EQ(-1, listener_->stopListener());
  ASSERT_EQ(0, listener_->startListener());
  ControlClient after(path_);
  EXPECT_EQ("1 1:[echo]", after.Ask("echo"));

  // A socket file left by a dead process is replaced; a plain file is never removed.
  listener_.reset();
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path_.c_str());
  ASSERT_EQ(0, bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  close(stale);
  TestListener third("qvtest");
  ASSERT_EQ(0, third.startListener());
  ControlClient c3(path_);
  EXPECT_EQ("1 1:[echo]", c3.Ask("echo"));
  ASSERT_EQ(0, third.stopListener());

  std::string plain = dir_.File("plain");
  FILE* f = fopen(plain.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fclose(f);
  setenv("HTTP2QUORVIN_SOCKET", plain.c_str(), 1);
  testing::internal::CaptureStderr();
  TestListener fourth("qvtest");
  EXPECT_EQ(-1, fourth.startListener());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(0, access(plain.c_str(), F_OK));
}

TEST(FrameworkListenerInitSocketTest, UsesTheDescriptorInitPassed) {
  ScratchDir dir;
  std::string path = dir.File("init");
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  setenv("ANDROID_SOCKET_http2proxy", std::to_string(fd).c_str(), 1);
  // The path variable is ignored when init passed a socket.
  setenv("HTTP2QUORVIN_SOCKET", dir.File("unused").c_str(), 1);
  {
    TestListener listener("http2proxy");
    ASSERT_EQ(0, listener.startListener());
    EXPECT_EQ("", listener.socketPath());
    ControlClient c(path);
    EXPECT_EQ("1 2:[echo][init]", c.Ask("echo init"));
    EXPECT_NE(0, access(dir.File("unused").c_str(), F_OK));
    ASSERT_EQ(0, listener.stopListener());
    // The inherited socket stays open across a restart.
    ASSERT_EQ(0, listener.startListener());
    ControlClient again(path);
    EXPECT_EQ("1 1:[echo]", again.Ask("echo"));
  }
  unsetenv("ANDROID_SOCKET_http2proxy");
  unsetenv("HTTP2QUORVIN_SOCKET");
  close(fd);
}

TEST(FrameworkListenerDispatchTest, DispatchesOnAConnectedPair) {
  // The host hook that fuzzers and unit tests use: no serving thread, one socket pair.
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  TestListener listener(-1, true);
  {
    SocketClient client(sv[0], true);
    listener.dispatchCommand(&client, "echo \"a b\" c");
    listener.dispatchCommand(&client, "nope");
    EXPECT_EQ(0, client.sendMsg(7, "x", false));
  }
  char buf[128];
  std::string got;
  ssize_t n;
  while ((n = read(sv[1], buf, sizeof(buf))) > 0)
    got.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(Wire({"1 3:[echo][a b][c]", "500 Command not recognized", "7 x"}), got);
  // The peer is gone: an error, not a SIGPIPE.
  int sv2[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv2));
  close(sv2[1]);
  SocketClient orphan(sv2[0], true);
  EXPECT_EQ(-1, orphan.sendMsg(1, "x", false));
  EXPECT_EQ(-1, orphan.sendMsg("y"));
  close(sv[1]);
}

}  // namespace
