// How the gateway connection ends when the gateway misbehaves, and how failed connection attempts
// end, against the real test gateway.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "daemon/gateway/gateway_peers_helper.h"
#include "daemon/net/log_lines_helper.h"
#include "gateway/back_connection.h"

using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

struct EndCase {
  const char* name;
  std::vector<std::string> flags;
  const char* path;  // request sent once connected; none when null
  int ping_timeout;
  int idle_time;
  int code;
  const char* cleanup;  // the DEBUG line of the clean-up
  const char* warning;  // a WARN line expected with it, or null
};

// Shown in the test's name.
void PrintTo(const EndCase& c, std::ostream* os) {
  *os << c.name;
}

class GatewayEnds : public testing::TestWithParam<EndCase> {};

TEST_P(GatewayEnds, WithTheCodeOfItsCause) {
  const EndCase& c = GetParam();
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway(c.flags));
  GetProxyConfig()->ping_timeout_ = c.ping_timeout;
  GetProxyConfig()->max_session_idle_time_ = c.idle_time;
  ScopedLogLevel debug(2);
  ASSERT_TRUE(h.Connect());
  if (c.path != nullptr)
    h.SendGet(1, c.path);
  testing::internal::CaptureStderr();
  const bool ended = h.RunUntilEnded();
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ended);
  EXPECT_THAT(h.dispatch.end_codes, ElementsAre(c.code));
  EXPECT_THAT(LogMessages(log, 'D', "back_connection"), Contains(c.cleanup));
  if (c.warning != nullptr) {
    EXPECT_THAT(LogMessages(log, 'W', "back_connection"), Contains(c.warning));
  }
  EXPECT_FALSE(h.back()->initialized());
  EXPECT_EQ(h.back()->fd(), -1);
}

const char kPingTimeout[] = "BackConnection Cleanup BackConnection ping timeout reached. 2";
const char kIdleTimeout[] = "BackConnection Cleanup BackConnection idle timeout reached. 2";

INSTANTIATE_TEST_SUITE_P(
    Gateway, GatewayEnds,
    testing::Values(
        EndCase{
            "PingNeverAnswered", {"--no-ping-reply"}, "/text", 0, 300, 2, kPingTimeout, nullptr},
        EndCase{"Idle", {}, nullptr, 30, 0, 2, kIdleTimeout, nullptr},
        EndCase{"GarbageBytes",
                {"--garbage-after", "0"},
                nullptr,
                30,
                300,
                6,
                "BackConnection Cleanup DoRead 6",
                "Framer error detected: Setting EPOLLOUT:UNSUPPORTED_VERSION"},
        EndCase{"GarbageAfterAReply",
                {"--garbage-after", "1"},
                "/text",
                30,
                300,
                6,
                "BackConnection Cleanup DoRead 6",
                nullptr},
        // The framer fails on a read it consumes nothing of: the payload after the header.
        EndCase{"UndecodableDataFrame",
                {"--bad-deflate-after", "0"},
                nullptr,
                30,
                300,
                6,
                "BackConnection Cleanup DoRead 6",
                "Framer error detected: Setting EPOLLOUT:DECOMPRESS_FAILURE"},
        EndCase{"TlsClose",
                {"--tls-close-after", "0"},
                nullptr,
                30,
                300,
                3,
                "BackConnection Cleanup DoRead 3",
                nullptr},
        EndCase{"TlsCloseMidReply",
                {"--close-mid-reply", "5000"},
                "/big.bin",
                30,
                300,
                3,
                "BackConnection Cleanup DoRead 3",
                nullptr},
        // No close_notify: OpenSSL 3 reports an unexpected EOF, still as a read of 0 bytes.
        EndCase{"TcpCloseMidReply",
                {"--eof-mid-reply", "5000"},
                "/big.bin",
                30,
                300,
                3,
                "BackConnection Cleanup DoRead 3",
                nullptr},
        EndCase{"ResetMidReply",
                {"--kill-mid-reply", "5000"},
                "/big.bin",
                30,
                300,
                4,
                "BackConnection Cleanup DoRead 4",
                nullptr}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

double NowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A loopback listener that never accepts: TCP connects, the TLS handshake never gets an answer.
int SilentListener(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 8) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

TEST(GatewayConnect, FailedAttemptsAreBoundedAndReleaseEverything) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({}));
  h.thread->set_handshake_timeout_ms(500);
  int silent_port = 0;
  const int silent = SilentListener(&silent_port);
  ASSERT_GE(silent, 0);
  int closed_port = 0;
  close(SilentListener(&closed_port));  // a port nothing listens on any more

  const std::string other_pin(64, '0');
  const struct {
    const char* name;
    int port;
    const char* pin;
  } kCases[] = {
      {"refused", closed_port, nullptr},
      {"handshake never answered", silent_port, nullptr},
      {"certificate not the pinned one", h.gateway_port, other_pin.c_str()},
      {"pin that is not a SHA-256", h.gateway_port, "12ab"},
  };
  // One full failed handshake first, so that whatever OpenSSL sets up once per process is
  // there before counting.
  setenv("HTTP2QUORVIN_GATE_PIN", other_pin.c_str(), 1);
  EXPECT_FALSE(h.Connect());
  unsetenv("HTTP2QUORVIN_GATE_PIN");
  int attempts = 1;
  const int before = OpenDescriptorCount();
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    GetProxyConfig()->quorvin_gate_port_ = std::to_string(c.port);
    if (c.pin != nullptr)
      setenv("HTTP2QUORVIN_GATE_PIN", c.pin, 1);
    for (int i = 0; i < 3; ++i, ++attempts) {
      const double start = NowSeconds();
      EXPECT_FALSE(h.Connect());
      EXPECT_LT(NowSeconds() - start, 3.0);
    }
    unsetenv("HTTP2QUORVIN_GATE_PIN");
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
  EXPECT_EQ(h.notifier.information,
            std::vector<std::string>(static_cast<size_t>(attempts), "2 StartConnection err"));
  EXPECT_EQ(h.dispatch.starts, 0);
  close(silent);
}

TEST(GatewayConnect, PinnedCertificateIsAccepted) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({}));
  ASSERT_EQ(h.gateway_sha256.size(), 64u);
  setenv("HTTP2QUORVIN_GATE_PIN", h.gateway_sha256.c_str(), 1);
  const bool connected = h.Connect();
  unsetenv("HTTP2QUORVIN_GATE_PIN");
  ASSERT_TRUE(connected);
  h.SendGet(1, "/text");
  ASSERT_TRUE(h.RunUntilDone(1));
  EXPECT_THAT(h.dispatch.replies[1], HasSubstr("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(h.notifier.information, IsEmpty());
}

}  // namespace
