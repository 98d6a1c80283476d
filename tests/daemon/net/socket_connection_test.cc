#include "net/socket_connection.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/net/log_lines_helper.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const char kTesterTag[] = "tester";

// A connection that reads whenever it is readable and records what the shared plumbing hands
// it; what it does with each piece is the case's.
class Reader : public SocketConnection {
 public:
  Reader(int fd, int buffer_size, bool empty_buffer, bool stop_after_first)
      : SocketConnection(kTesterTag, buffer_size),
        empty_buffer_(empty_buffer),
        stop_after_first_(stop_after_first) {
    fd_ = fd;
  }
  ~Reader() override { close(fd_); }

  // As a real connection's: nothing stays pending once it is over.
  void Cleanup(const char* reason, int code) override {
    cleanups.push_back(std::string(reason) + " " + std::to_string(code));
    events_ = 0;
  }

  std::vector<size_t> pieces;
  std::vector<std::string> cleanups;
  bool received_all = false;

 private:
  void HandleEvents() override {
    // Only reading is this connection's business: EPOLLOUT stays pending.
    if (events_ & EPOLLIN)
      received_all = ReceiveAll("127.0.0.1:1", "Tester");
  }
  bool OnReceived(char*, size_t len) override {
    pieces.push_back(len);
    if (empty_buffer_)
      read_buffer_.Clear();
    if (!stop_after_first_)
      return true;
    // As a client connection whose request does not parse.
    Cleanup("DoRead", 6);
    return false;
  }

  const bool empty_buffer_;
  const bool stop_after_first_;
};

// A connected loopback pair: `*peer` is the far end, the result the near one.
int ConnectedPair(int* peer) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  EXPECT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr*>(&addr), len));
  EXPECT_EQ(0, listen(listener, 1));
  EXPECT_EQ(0, getsockname(listener, reinterpret_cast<struct sockaddr*>(&addr), &len));
  *peer = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(0, connect(*peer, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)));
  const int near = accept(listener, nullptr, nullptr);
  close(listener);
  return near;
}

enum PeerEnd { kStaysOpen, kCloses, kResets };

TEST(SocketConnection, ReceiveLoopEndsAsTheSocketSays) {
  const struct {
    const char* name;
    int buffer_size;
    size_t sent;
    PeerEnd end;
    bool empty_buffer;      // the handler takes every piece out of the buffer, as a tunnel does
    bool stop_after_first;  // and ends the connection
    std::vector<size_t> pieces;
    bool received_all;
    std::vector<std::string> cleanups;
    std::vector<std::string> warnings;
  } kCases[] = {{"everything read, then nothing more",
                 1024,
                 100,
                 kStaysOpen,
                 false,
                 false,
                 {100},
                 true,
                 {},
                 {}},
                {"a buffer the handler empties takes more than it holds",
                 64,
                 100,
                 kStaysOpen,
                 true,
                 false,
                 {64, 36},
                 true,
                 {},
                 {}},
                {"a full buffer stops reading until the next readable event",
                 64,
                 100,
                 kStaysOpen,
                 false,
                 false,
                 {64},
                 true,
                 {},
                 {"Tester connection(127.0.0.1:1)'s read buf is full"}},
                {"the handler ended the connection",
                 64,
                 100,
                 kStaysOpen,
                 true,
                 true,
                 {64},
                 false,
                 {"DoRead 6"},
                 {}},
                {"the peer closes after its bytes",
                 1024,
                 10,
                 kCloses,
                 false,
                 false,
                 {10},
                 false,
                 {"DoRead 3"},
                 {}},
                {"the peer resets",
                 1024,
                 0,
                 kResets,
                 false,
                 false,
                 {},
                 false,
                 {"DoRead 4"},
                 {"While calling recv(127.0.0.1:1), got error:Connection reset by peer"}}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    int peer = -1;
    Reader reader(ConnectedPair(&peer), c.buffer_size, c.empty_buffer, c.stop_after_first);
    const std::string bytes(c.sent, 'b');
    if (c.sent > 0) {
      ASSERT_EQ(static_cast<ssize_t>(c.sent), send(peer, bytes.data(), bytes.size(), 0));
    }
    if (c.end == kCloses)
      shutdown(peer, SHUT_WR);
    if (c.end == kResets) {
      struct linger abort_close = {1, 0};
      setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort_close, sizeof(abort_close));
    }
    if (c.end != kStaysOpen) {
      close(peer);
      peer = -1;
    }
    struct pollfd p = {reader.fd(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 5000));
    // For FIN and RST to have come too: they follow the bytes on loopback at once.
    usleep(20000);

    testing::internal::CaptureStderr();
    EpollEvent event(EPOLLIN | EPOLLOUT);
    reader.OnEvent(reader.fd(), &event);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_THAT(reader.pieces, ElementsAreArray(c.pieces));
    EXPECT_EQ(reader.received_all, c.received_all);
    EXPECT_THAT(reader.cleanups, ElementsAreArray(c.cleanups));
    EXPECT_THAT(LogMessages(log, 'W', kTesterTag), ElementsAreArray(c.warnings));
    // Reading is done with until the next readable event, and what the connection left pending
    // comes back on the next iteration; a connection that ended leaves nothing.
    EXPECT_EQ(event.out_ready_mask, c.received_all ? static_cast<int>(EPOLLOUT) : 0);
    if (peer >= 0)
      close(peer);
  }
}

TEST(SocketConnection, LoopShutdownEndsTheConnection) {
  int peer = -1;
  Reader reader(ConnectedPair(&peer), 64, false, false);
  reader.OnShutdown(nullptr, reader.fd());
  EXPECT_THAT(reader.cleanups, ElementsAre("OnShutdown 1"));
  EXPECT_THAT(reader.pieces, IsEmpty());
  close(peer);
}

}  // namespace
