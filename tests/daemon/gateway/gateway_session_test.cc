// The gateway session over real TLS on loopback, against the test gateway (spdy-transport) and
// the origin.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "daemon/gateway/gateway_peers_helper.h"
#include "daemon/net/log_lines_helper.h"
#include "gateway/back_connection.h"

using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::SizeIs;

namespace {

std::vector<std::string> ForConnection(const std::vector<std::string>& lines, int conn) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    if (JsonNumber(line, "conn") == conn)
      out.push_back(line);
  }
  return out;
}

TEST(GatewaySession, OpeningSettingsCarryTheDeviceValue) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({}));
  const struct {
    const char* device_id;
    const char* entries;
  } kCases[] = {
      {"12345678901", "[[\"64000000\",1],[\"65000000\",2],[\"66000000\",3755744309]]"},
      {"a", "[[\"64000000\",1],[\"65000000\",0],[\"66000000\",97]]"},
      {"ab", "[[\"64000000\",1],[\"65000000\",0],[\"66000000\",12805]]"},
      {"", "[[\"64000000\",1]]"},
  };
  int conn = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.device_id);
    ++conn;
    h.session->SetDeviceId(c.device_id);
    ASSERT_TRUE(h.Connect());
    ASSERT_TRUE(h.RunUntil([&] { return h.Log("settings").size() == static_cast<size_t>(conn); }));
    const auto lines = ForConnection(h.Log(), conn);
    ASSERT_THAT(lines, SizeIs(2));  // accepted, then the SETTINGS as the very first frame
    EXPECT_THAT(lines[1], HasSubstr("\"ev\":\"settings\""));
    EXPECT_THAT(lines[1], HasSubstr("\"entries\":" + std::string(c.entries) + "}"));
    h.back()->Cleanup("test", 1);
  }
  EXPECT_EQ(h.dispatch.starts, 4);
  EXPECT_THAT(h.dispatch.end_codes, ElementsAre(1, 1, 1, 1));
}

TEST(GatewaySession, RequestsAndRepliesCrossTheGateway) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({}));
  ASSERT_TRUE(h.Connect());
  const std::string host = h.origin_host();
  // Repeated lines, hop-by-hop lines and a relative url, as the client side hands them over.
  ASSERT_GT(h.SendRequest(1, "GET", "/cookies",
                          {{"Host", host},
                           {"Accept", "a"},
                           {"Connection", "keep-alive"},
                           {"Accept", "b"},
                           {"Proxy-Connection", "keep-alive"},
                           {"User-Agent", "t"}}),
            0u);
  h.session->SendEndOfStream(1);
  std::string body;
  for (int i = 0; i < 2500; ++i)
    body += static_cast<char>('A' + i % 26);
  h.SendRequest(3, "POST", "/echo", {{"host", host}, {"content-length", "2500"}});
  h.session->SendData(3, body.data(), body.size());
  h.session->SendEndOfStream(3);
  h.SendGet(5, "/image.png");
  ASSERT_TRUE(h.RunUntil([&] { return h.dispatch.done.size() == 3; }));

  // The header map as the gateway decoded it. IMG_TAG is empty by default: the image level goes
  // under the empty name, which spdy-transport accepts.
  ASSERT_TRUE(h.WaitForLog("stream", 3));
  ASSERT_TRUE(h.WaitForLog("data", 6));
  const auto streams = h.Log("stream");
  ASSERT_THAT(streams, SizeIs(3));
  EXPECT_THAT(streams[0],
              HasSubstr("\"headers\":{\"\":\"0\",\"accept\":\"a\\u0000b\",\"connection\":\"close\","
                        "\"host\":\"" +
                        host + "\",\"method\":\"GET\",\"url\":\"http://" + host +
                        "/cookies\",\"user-agent\":\"t\",\"version\":\"HTTP/1.1\"}"));
  EXPECT_THAT(streams[0], HasSubstr("\"fin\":false"));

  const std::string cookies = "two cookies\n";
  EXPECT_EQ(h.dispatch.replies[1],
            "HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: 12\r\n"
            "content-type: text/plain\r\n"
            "set-cookie: a=1\r\nset-cookie: b=2\r\nstatus: 200 OK\r\nversion: HTTP/1.1\r\n"
            "x-body-sha256: " +
                Sha256Hex(cookies) + "\r\nx-path: /cookies\r\n\r\n" + cookies);

  // The body left in 1,024-byte frames, the request's end as an empty FIN frame of its own.
  std::vector<std::string> data3;
  for (const std::string& line : h.Log("data")) {
    if (JsonNumber(line, "id") == 3)
      data3.push_back(std::to_string(JsonNumber(line, "len")) +
                      (line.find("\"fin\":true") != std::string::npos ? " fin" : ""));
  }
  EXPECT_THAT(data3, ElementsAre("1024", "1024", "452", "0 fin"));
  const std::string& echo = h.dispatch.replies[3];
  ASSERT_NE(echo.find("\r\n\r\n"), std::string::npos);
  EXPECT_EQ(echo.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(echo.substr(echo.find("\r\n\r\n") + 4), body);

  // The image reply's sizes reach the statistics; the other replies report none.
  const std::string& image = h.dispatch.replies[5];
  const size_t image_len = image.size() - image.find("\r\n\r\n") - 4;
  std::vector<std::string> stats;
  for (const std::string& e : h.dispatch.events) {
    if (e.compare(0, 5, "stat ") == 0)
      stats.push_back(e);
  }
  EXPECT_THAT(stats,
              ElementsAre("stat 5 " + std::to_string(image_len) + " " + std::to_string(image_len)));
  EXPECT_THAT(image, HasSubstr("\r\ncontent-type: image/png\r\n"));

  // Three requests while the first PING was in flight sent one PING; the next request sends the
  // next odd id.
  h.SendGet(7, "/text");
  ASSERT_TRUE(h.RunUntilDone(7));
  ASSERT_TRUE(h.WaitForLog("ping", 2));
  std::vector<long long> pings;
  for (const std::string& line : h.Log("ping")) {
    EXPECT_THAT(line, HasSubstr("\"answered\":true"));
    pings.push_back(JsonNumber(line, "id"));
  }
  EXPECT_THAT(pings, ElementsAre(1, 3));
  EXPECT_THAT(h.dispatch.end_codes, IsEmpty());
}

TEST(GatewaySession, WriteBudgetLeavesTheRestQueued) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({}));
  ASSERT_TRUE(h.Connect());
  const size_t syn = h.SendRequest(1, "POST", "/echo", {{"host", h.origin_host()}});
  const std::string body(30 * 1024, 'q');
  h.session->SendData(1, body.data(), body.size());
  h.session->SendEndOfStream(1);
  ASSERT_EQ(h.back()->QueuedCount(1), 32);  // SYN_STREAM, 30 data frames, FIN
  EXPECT_FALSE(h.session->CanWriteToFront(1));

  // One writable event. SETTINGS (12 bytes), PING (12) and the SYN_STREAM leave first; then ten
  // 1,032-byte frames pass the 10,240-byte budget. The tenth stays counted until the next pass.
  ASSERT_LT(syn, 900u);
  EpollEvent event(EPOLLOUT);
  h.back()->OnEvent(h.back()->fd(), &event);
  EXPECT_TRUE(event.out_ready_mask & EPOLLOUT);
  EXPECT_EQ(h.back()->QueuedCount(1), 32 - 1 - 9);
  EXPECT_EQ(h.back()->max_output_list(), 34);
  // Still at the limit: told to wait again.
  EXPECT_FALSE(h.session->CanWriteToFront(1));

  ASSERT_TRUE(h.RunUntilDone(1));
  const std::string& echo = h.dispatch.replies[1];
  EXPECT_EQ(echo.substr(echo.find("\r\n\r\n") + 4), body);
  EXPECT_EQ(h.back()->QueuedCount(1), 0);
  EXPECT_TRUE(h.session->CanWriteToFront(1));
  // Woken once, by the first record that left the count below MAX_SESSION_QUEUE_SIZE (20),
  // however often it was told to wait before; records of a stream nobody waits for (SETTINGS
  // and PING on stream 0) wake nothing.
  EXPECT_EQ(h.dispatch.wakes.count(0), 0u);
  EXPECT_EQ(h.dispatch.wakes[1], 1);
}

// Past every window and buffer size on the way: a megabyte each way, the upload throttled the
// way the client side throttles it, by CanWriteToFront. The connection's send buffer is kept
// smaller than one pass's writes, so TLS writes keep having to wait and be repeated.
TEST(GatewaySession, LargeBodiesCrossWhole) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({}));
  ASSERT_TRUE(h.Connect());
  const int small = 4096;
  ASSERT_EQ(0, setsockopt(h.back()->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)));
  h.SendGet(1, "/size/1048576");
  const std::string up(1 << 20, 'u');
  h.SendRequest(3, "PUT", "/up", {{"host", h.origin_host()}});
  for (size_t at = 0; at < up.size(); at += 4096) {
    ASSERT_TRUE(h.RunUntil([&] { return h.session->CanWriteToFront(3); }));
    h.session->SendData(3, up.data() + at, 4096);
  }
  h.session->SendEndOfStream(3);
  ASSERT_TRUE(h.RunUntil([&] { return h.dispatch.done.size() == 2; }));
  const std::string& down = h.dispatch.replies[1];
  const std::string body = down.substr(down.find("\r\n\r\n") + 4);
  EXPECT_EQ(body.size(), 1u << 20);
  EXPECT_THAT(down, HasSubstr("\r\nx-body-sha256: " + Sha256Hex(body) + "\r\n"));
  const std::string& echo = h.dispatch.replies[3];
  EXPECT_EQ(echo.substr(echo.find("\r\n\r\n") + 4), up);
  EXPECT_GT(h.dispatch.wakes[3], 0);
}

TEST(GatewaySession, NoFrameCrossesAReset) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({}));
  ASSERT_TRUE(h.Connect());
  h.SendGet(1, "/text");
  ASSERT_TRUE(h.RunUntilDone(1));  // the header compressors of both ends have moved on

  // Queued but not written when the connection ends: dropped, counts cleared.
  h.SendRequest(3, "POST", "/echo", {{"host", h.origin_host()}});
  const std::string body(25 * 1024, 'r');
  h.session->SendData(3, body.data(), body.size());
  EXPECT_FALSE(h.session->CanWriteToFront(3));
  h.back()->Cleanup("test", 4);
  EXPECT_EQ(h.back()->QueuedCount(3), 0);
  EXPECT_TRUE(h.session->CanWriteToFront(3));
  // Nothing made while no connection is active.
  EXPECT_EQ(h.SendGet(5, "/text"), 0u);
  h.session->SendRSTStream(3, 5);
  h.session->SendData(3, "x", 1);
  EXPECT_EQ(h.back()->output_list_size(), 0u);

  ASSERT_TRUE(h.Connect());
  h.SendGet(7, "/text");
  ASSERT_TRUE(h.RunUntilDone(7));
  EXPECT_EQ(h.dispatch.replies[7], h.dispatch.replies[1]);
  ASSERT_TRUE(h.RunUntil([&] { return ForConnection(h.Log("data"), 2).size() == 1; }));

  // The second connection saw its own SETTINGS, PING 1 and stream 7, nothing older.
  std::vector<std::string> second;
  for (const std::string& line : ForConnection(h.Log(), 2)) {
    const std::string ev = JsonString(line, "ev");
    if (ev != "reply" && ev != "conn")
      second.push_back(ev + " " + std::to_string(JsonNumber(line, "id")));
  }
  EXPECT_THAT(second, ElementsAre("settings -1", "ping 1", "stream 7", "data 7"));
  EXPECT_THAT(h.Log("rst"), IsEmpty());
  EXPECT_THAT(h.dispatch.end_codes, ElementsAre(4));
}

TEST(GatewaySession, GoAwayEndsTheConnectionAfterTheReadIsProcessed) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({"--goaway-after", "1"}));
  ASSERT_TRUE(h.Connect());
  h.SendGet(1, "/text");
  ScopedLogLevel debug(2);
  testing::internal::CaptureStderr();
  const bool ended = h.RunUntilEnded();
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ended);
  ASSERT_TRUE(h.WaitForLog("goaway_sent", 1));
  ASSERT_TRUE(h.WaitForLog("reply", 1));
  // The gateway wrote the reply's last frames and the GOAWAY at once: one read delivered both,
  // and the reply was handed on whole before the connection ended.
  const size_t goaway = log.find("OnGoAway");
  ASSERT_NE(goaway, std::string::npos);
  const size_t read = log.rfind("): read ", goaway);
  ASSERT_NE(read, std::string::npos);
  EXPECT_LT(log.find("OnStreamFrameData", read), goaway);
  EXPECT_THAT(h.dispatch.events, ElementsAre("start", "done 1", "end 5"));
  const std::string& reply = h.dispatch.replies[1];
  EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4).size(),
            static_cast<size_t>(JsonNumber(h.Log("reply")[0], "len")));
  // The next client gets a new connection; destroying the gateway side ends it as normal.
  ASSERT_TRUE(h.Connect());
  EXPECT_EQ(h.dispatch.starts, 2);
  h.thread.reset();
  EXPECT_THAT(h.dispatch.end_codes, ElementsAre(5, 1));
}

TEST(GatewaySession, GatewayResetsOneStream) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({"--reset-stream", "1", "--server-ping"}));
  ASSERT_TRUE(h.Connect());
  h.SendGet(1, "/text");
  h.SendGet(3, "/text");
  ASSERT_TRUE(h.RunUntilDone(3));
  // spdy-transport may reset the stream a second time when our FIN frame for it arrives late.
  EXPECT_EQ(h.dispatch.events.front(), "start");
  EXPECT_EQ(h.dispatch.events.back(), "done 3");
  EXPECT_THAT(h.dispatch.events, Contains("rst 1"));
  EXPECT_EQ(h.dispatch.done.count(1), 0u);
  EXPECT_EQ(h.dispatch.replies.count(1), 0u);
  ASSERT_TRUE(h.WaitForLog("rst_sent", 1));
  // The gateway's own PING (even id) got no answer; ours did.
  ASSERT_TRUE(h.WaitForLog("ping_sent", 1));
  ASSERT_TRUE(h.WaitForLog("ping", 1));
  const auto pings = h.Log("ping");
  ASSERT_THAT(pings, SizeIs(1));
  EXPECT_EQ(JsonNumber(pings[0], "id"), 1);
}

TEST(GatewaySession, ReplyWithoutStatusBecomesBadGateway) {
  GatewayHarness h;
  ASSERT_TRUE(h.StartGateway({"--no-status", "1"}));
  ASSERT_TRUE(h.Connect());
  h.SendGet(1, "/big.bin");
  ASSERT_TRUE(h.RunUntil([&] { return !h.Log("rst").empty(); }));
  h.SendGet(3, "/text");
  ASSERT_TRUE(h.RunUntilDone(3));
  // The client got the 502 head and nothing after it, and its stream ended once.
  EXPECT_EQ(h.dispatch.replies[1], QuorvinInterface::kBadGatewayHead);
  EXPECT_EQ(h.dispatch.done.count(1), 1u);
  const auto rst = h.Log("rst");
  ASSERT_THAT(rst, SizeIs(1));
  EXPECT_EQ(JsonNumber(rst[0], "id"), 1);
  EXPECT_EQ(JsonNumber(rst[0], "status"), 5);
  EXPECT_THAT(h.dispatch.replies[3], HasSubstr("HTTP/1.1 200 OK\r\n"));
  EXPECT_THAT(h.dispatch.end_codes, IsEmpty());
}

}  // namespace
