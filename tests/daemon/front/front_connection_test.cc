#include "front/front_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "front/http_thread.h"

namespace {

// A client connection accepted on loopback, served by a FrontConnection on an HttpThread's loop
// that the test runs itself, one iteration at a time.
class FrontHarness {
 public:
  FrontHarness() : thread_(nullptr) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      close(listener);
      return;
    }
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0)
      server_ = accept(listener, nullptr, nullptr);
    close(listener);
    if (server_ >= 0)
      connection_ = thread_.MakeFrontConnection(server_, "127.0.0.1", 1);
  }
  ~FrontHarness() {
    if (client_ >= 0)
      close(client_);
  }

  FrontConnection* connection() { return connection_; }
  int server() const { return server_; }

  void Iterate() {
    thread_.epoll_server()->set_timeout_in_us(0);
    thread_.epoll_server()->WaitForEventsAndExecuteCallbacks();
  }
  // Bytes waiting for the client to read.
  int Waiting() const {
    int n = -1;
    ioctl(client_, FIONREAD, &n);
    return n;
  }
  std::string Read(int n) {
    std::string out(static_cast<size_t>(n), '\0');
    int got = 0;
    while (got < n) {
      const ssize_t r =
          recv(client_, &out[static_cast<size_t>(got)], static_cast<size_t>(n - got), 0);
      if (r <= 0)
        break;
      got += static_cast<int>(r);
    }
    out.resize(static_cast<size_t>(got));
    return out;
  }
  int client() const { return client_; }
  bool ClientSeesEnd() {
    char c;
    return recv(client_, &c, 1, MSG_DONTWAIT) == 0;
  }
  int Corked() const {
    int value = -1;
    socklen_t len = sizeof(value);
    getsockopt(server_, IPPROTO_TCP, TCP_CORK, &value, &len);
    return value;
  }

 private:
  HttpThread thread_;
  int client_ = -1;
  int server_ = -1;
  FrontConnection* connection_ = nullptr;
};

// Queued reply chunks leave in one burst per writable event, sent with MSG_MORE but for the
// burst's last send, and the socket is never left corked: a corked socket would hold a reply's
// tail back for 200 ms. Every byte arrives in order at the end of its burst; whatever the budget
// of 10,240 bytes per write leaves over goes out on the next iteration; once the stream is done
// and all is written the client sees the end.
TEST(FrontConnectionTest, BurstsLeaveUncorkedWithinTheWriteBudget) {
  FrontHarness h;
  ASSERT_NE(h.connection(), nullptr);
  std::string sent;
  for (const char* piece : {"HTTP/1.1 200 OK\r\n", "content-length: 3\r\n\r\n", "abc"}) {
    h.connection()->ProcessBackInput(piece, strlen(piece));
    sent += piece;
  }
  h.Iterate();
  EXPECT_EQ(h.Corked(), 0);
  ASSERT_EQ(h.Waiting(), static_cast<int>(sent.size()));
  EXPECT_EQ(h.Read(static_cast<int>(sent.size())), sent);

  // Three records, each more than half the budget: two leave now, the third next time.
  const std::string big(6000, 'x');
  for (int i = 0; i < 3; ++i)
    h.connection()->ProcessBackInput(big.data(), big.size());
  h.Iterate();
  EXPECT_EQ(h.Corked(), 0);
  EXPECT_EQ(h.Waiting(), 12000);
  h.Iterate();
  EXPECT_EQ(h.Corked(), 0);
  EXPECT_EQ(h.Waiting(), 18000);
  EXPECT_EQ(h.Read(18000), big + big + big);

  h.connection()->ProcessBackInput("z", 1);
  h.connection()->SetStreamDone();
  h.Iterate();
  EXPECT_EQ(h.Read(1), "z");
  EXPECT_TRUE(h.ClientSeesEnd());
}

// A read shorter than the room for it ends the receive loop (the socket is drained, and the
// next bytes raise a new edge), unless the client has shut its side: then reading goes on to the
// end of the stream, and the client that left is seen at once, as when every read went on to
// EAGAIN. Each case with the bytes arriving before the loop looks, and after one quiet pass.
TEST(FrontConnectionTest, ShortReadsStillSeeTheNextBytesAndTheClientsEnd) {
  for (bool quiet_pass_first : {false, true}) {
    SCOPED_TRACE(quiet_pass_first);
    FrontHarness h;
    ASSERT_NE(h.connection(), nullptr);
    if (quiet_pass_first)
      h.Iterate();
    // Part of a request head, then more of it on the next pass: both parts are taken.
    ASSERT_EQ(8, send(h.client(), "GET http", 8, 0));
    h.Iterate();
    ASSERT_EQ(6, send(h.client(), "://a/ ", 6, 0));
    h.Iterate();
    EXPECT_TRUE(h.connection()->initialized());
    EXPECT_FALSE(h.ClientSeesEnd());
    // The rest of a line and the client's end in one go: the short read does not stop there.
    ASSERT_EQ(10, send(h.client(), "HTTP/1.1\r\n", 10, 0));
    ASSERT_EQ(0, shutdown(h.client(), SHUT_WR));
    h.Iterate();
    EXPECT_TRUE(h.ClientSeesEnd());
  }
}

}  // namespace
