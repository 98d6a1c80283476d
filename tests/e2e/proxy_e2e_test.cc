// The daemon binary end to end: curl through its proxy port, the test gateway and the origin,
// driven through its control socket with http2proxyctl.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::CountOf;
using qvtest::CurlResult;
using qvtest::DaemonUnderTest;
using qvtest::Gateway;
using qvtest::HeaderValue;
using qvtest::Sha256Hex;

class ProxyEndToEndTest : public qvtest::PeersSuite {
 protected:
  // A daemon towards `gateway_port` with `extra` settings, its proxy started; the proxy port.
  int StartDaemon(int gateway_port, std::map<std::string, std::string> extra = {}) {
    extra["QUORVIN_GATE_PORT"] = std::to_string(gateway_port);
    daemon_.reset(new DaemonUnderTest(extra));
    if (!daemon_->Start())
      return -1;
    return daemon_->StartProxy();
  }

  static std::vector<std::string> Via(int proxy_port, std::vector<std::string> args) {
    args.insert(args.begin(), {"-x", "http://127.0.0.1:" + std::to_string(proxy_port)});
    return args;
  }

  std::unique_ptr<DaemonUnderTest> daemon_;
};

// The body arrived whole: its digest is the one the origin computed, for the path asked.
void ExpectOriginBody(const CurlResult& r, const std::string& path) {
  EXPECT_EQ(0, r.exit_code) << path << ": " << r.stderr_text;
  EXPECT_EQ(200, qvtest::StatusCode(r.headers)) << r.headers;
  EXPECT_EQ(path, HeaderValue(r.headers, "x-path"));
  EXPECT_EQ(HeaderValue(r.headers, "x-body-sha256"), Sha256Hex(r.body)) << path;
}

// What curl counted, as written by -w kSizes: the heads it received, its request head and
// the body it uploaded.
const char kSizes[] = "%{size_header} %{size_request} %{size_upload}";

void AddSizes(const CurlResult& r, bool count_body, long long* down, long long* up) {
  long long header_bytes = 0, request_bytes = 0, upload_bytes = 0;
  ASSERT_EQ(
      3, sscanf(r.written.c_str(), "%lld %lld %lld", &header_bytes, &request_bytes, &upload_bytes))
      << r.written;
  *down += header_bytes + (count_body ? static_cast<long long>(r.body.size()) : 0);
  *up += request_bytes + upload_bytes;
}

TEST_F(ProxyEndToEndTest, RequestsOfEveryKindAndTheirFiguresInTheDatabase) {
  const int port = StartDaemon(gateway_->port());
  ASSERT_GT(port, 0);
  const std::string upload = qvtest::PatternBytes(1024 * 1024, 3);
  const std::string upload_file = daemon_->dir().File("upload.bin");
  ASSERT_TRUE(qvtest::WriteFile(upload_file, upload));
  const std::vector<std::string> sizes = {"-w", kSizes};

  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* path;
    size_t body_size;  // 0: not checked
    bool echo;         // the body is the upload
  };
  const std::vector<Case> cases = {
      {"text page", {}, "/text", 0, false},
      {"10 MB binary", {}, "/big.bin", 10 * 1024 * 1024, false},
      {"image", {}, "/image.png", 0, false},
      {"1 MB POST", {"-H", "Expect:", "--data-binary", "@" + upload_file}, "/echo", 0, true},
      {"chunked upload",
       {"-H", "Expect:", "-H", "Transfer-Encoding: chunked", "--data-binary", "@" + upload_file},
       "/echo",
       0,
       true},
  };
  long long down = 0, up = 0;
  size_t image_size = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = sizes;
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(origin_->Url(c.path));
    CurlResult r = qvtest::RunCurl(daemon_->dir(), Via(port, args));
    ExpectOriginBody(r, c.path);
    if (c.body_size != 0) {
      EXPECT_EQ(c.body_size, r.body.size()) << c.name;
    }
    if (c.echo) {
      EXPECT_TRUE(r.body == upload) << c.name;
    }
    if (std::string(c.path) == "/image.png")
      image_size = r.body.size();
    AddSizes(r, true, &down, &up);
  }
  // HEAD: the head only (curl -I writes it as its output).
  CurlResult head =
      qvtest::RunCurl(daemon_->dir(), Via(port, {"-I", "-w", kSizes, origin_->Url("/big.bin")}));
  EXPECT_EQ(0, head.exit_code) << head.stderr_text;
  EXPECT_EQ(200, qvtest::StatusCode(head.headers));
  EXPECT_EQ("10485760", HeaderValue(head.headers, "content-length"));
  EXPECT_EQ(head.headers, head.body);
  AddSizes(head, false, &down, &up);

  // Every byte curl sent and received is in today's row, under our own UID (the figure of
  // the last write may still be on its way when curl has ended).
  const std::string today = qvtest::Today();
  const std::string flow =
      "1 allFlow:{up:" + std::to_string(up) + ",down:" + std::to_string(down) + "}";
  qvtest::WaitUntil([&]() { return daemon_->Ctl({"queryflow", today, today, ""}).out == flow; }, 5);
  EXPECT_EQ("1 allFlow:{up:" + std::to_string(up) + ",down:" + std::to_string(down) + "}",
            daemon_->Ctl({"queryflow", today, today, ""}).out);
  EXPECT_EQ("1 {Flow:[{up:" + std::to_string(up) + ",down:" + std::to_string(down) +
                ",appUID:" + std::to_string(geteuid()) + "}]}",
            daemon_->Ctl({"querydetailflow", today, today, ""}).out);
  // The image's figures from the gateway (it forwards the image as it is).
  ASSERT_GT(image_size, 0u);
  const std::string size = std::to_string(image_size);
  EXPECT_EQ("1 allFlow:{original:" + size + ",compressed:" + size + "}",
            daemon_->Ctl({"query", today, today, ""}).out);
  EXPECT_EQ("1 {Flow:[{original:" + size + ",compressed:" + size +
                ",appUID:" + std::to_string(geteuid()) + "}]}",
            daemon_->Ctl({"querydetail", today, today, ""}).out);
}

TEST_F(ProxyEndToEndTest, TwentyClientsAtOnceEachGetTheirOwnBody) {
  const int port = StartDaemon(gateway_->port());
  ASSERT_GT(port, 0);
  const size_t streams_before = gateway_->Events("stream").size();
  std::vector<std::vector<std::string>> runs;
  for (int i = 0; i < 20; ++i)
    runs.push_back(Via(port, {origin_->Url("/size/" + std::to_string(1000 + i * 7919))}));
  const std::vector<CurlResult> results = qvtest::RunCurls(daemon_->dir(), runs);
  for (int i = 0; i < 20; ++i) {
    const std::string path = "/size/" + std::to_string(1000 + i * 7919);
    ExpectOriginBody(results[i], path);
    EXPECT_EQ(static_cast<size_t>(1000 + i * 7919), results[i].body.size()) << path;
  }
  // The SYN_STREAMs reached the gateway in increasing id order, whatever order the clients
  // completed their requests in (a lower id after a higher one is reset by the gateway). The
  // gateway writes its log on its own time.
  qvtest::WaitUntil([&] { return gateway_->Events("stream").size() >= streams_before + 20; }, 5);
  const std::vector<std::string> streams = gateway_->Events("stream");
  ASSERT_EQ(streams_before + 20, streams.size());
  for (size_t i = streams_before + 1; i < streams.size(); ++i)
    EXPECT_LT(qvtest::JsonNumber(streams[i - 1], "id"), qvtest::JsonNumber(streams[i], "id"));
}

TEST_F(ProxyEndToEndTest, ConnectTunnelCarriesTenMegabytesBothWays) {
  const int port = StartDaemon(gateway_->port());
  ASSERT_GT(port, 0);
  const size_t streams_before = gateway_->Events("stream").size();
  const size_t resets_before = gateway_->Events("rst").size();
  const std::string body = qvtest::PatternBytes(10 * 1024 * 1024, 11);
  const std::string file = daemon_->dir().File("tunnel-upload.bin");
  ASSERT_TRUE(qvtest::WriteFile(file, body));
  CurlResult r = qvtest::RunCurl(daemon_->dir(),
                                 Via(port, {"-p", "-k", "-H", "Expect:", "--data-binary",
                                            "@" + file, origin_->HttpsUrl("/echo")}),
                                 90);
  ExpectOriginBody(r, "/echo");
  EXPECT_TRUE(r.body == body);
  EXPECT_NE(std::string::npos, r.headers.find("HTTP/1.0 200 Connection established\r\n\r\n"));
  // A tunnel sends nothing to the gateway, not even a reset when it ends.
  EXPECT_EQ(streams_before, gateway_->Events("stream").size());
  EXPECT_EQ(resets_before, gateway_->Events("rst").size());
}

TEST_F(ProxyEndToEndTest, ClientClosingBeforeItsReplyCancelsTheStream) {
  Gateway slow;
  ASSERT_TRUE(slow.Start(*dir_, {"--delay-ms", "3000"}, "slow"));
  const int port = StartDaemon(slow.port());
  ASSERT_GT(port, 0);
  CurlResult r =
      qvtest::RunCurl(daemon_->dir(), Via(port, {"--max-time", "1", origin_->Url("/text")}));
  EXPECT_EQ(28, r.exit_code) << r.stderr_text;
  ASSERT_TRUE(qvtest::WaitUntil([&]() { return !slow.Events("rst").empty(); }, 5));
  const std::vector<std::string> streams = slow.Events("stream");
  const std::vector<std::string> resets = slow.Events("rst");
  ASSERT_EQ(1u, streams.size());
  ASSERT_EQ(1u, resets.size());
  EXPECT_EQ(qvtest::JsonNumber(streams[0], "id"), qvtest::JsonNumber(resets[0], "id"));
  EXPECT_EQ(5, qvtest::JsonNumber(resets[0], "status"));  // CANCEL
}

TEST_F(ProxyEndToEndTest, SilentClientIsClosedAfterTheIdleTimeButASlowReaderIsNot) {
  const int port = StartDaemon(gateway_->port(), {{"MAX_FRONTEND_TIME", "2"}});
  ASSERT_GT(port, 0);
  // Meanwhile a client takes 1 MB at 256 KB/s: the whole reply waits in the proxy long
  // before the client has read it, and the client keeps reading for about 4 s.
  CurlResult slow;
  std::thread reader([&]() {
    slow = qvtest::RunCurl(daemon_->dir(),
                           Via(port, {"--limit-rate", "256K", origin_->Url("/size/1048576")}));
  });
  const int fd = qvtest::ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  const double waited = qvtest::WaitForClose(fd, 10);
  close(fd);
  reader.join();
  // More than 2 s of silence, noticed by one of the checks that run about every 1.1 s.
  EXPECT_GE(waited, 1.9);
  EXPECT_LE(waited, 6.0);
  ExpectOriginBody(slow, "/size/1048576");
  EXPECT_EQ(1048576u, slow.body.size());
}

TEST_F(ProxyEndToEndTest, UnreachableGatewayClosesTheClientAtOnceAndIsBroadcast) {
  int holder = -1;
  const int refusing = qvtest::RefusingPort(&holder);
  ASSERT_GT(refusing, 0);
  daemon_.reset(new DaemonUnderTest({{"QUORVIN_GATE_PORT", std::to_string(refusing)}}));
  ASSERT_TRUE(daemon_->Start());
  ASSERT_TRUE(daemon_->StartListening());
  const int port = daemon_->StartProxy();
  ASSERT_GT(port, 0);
  for (int attempt = 1; attempt <= 2; ++attempt) {
    const double start = qvtest::NowSeconds();
    CurlResult r = qvtest::RunCurl(daemon_->dir(), Via(port, {origin_->Url("/text")}));
    EXPECT_LT(qvtest::NowSeconds() - start, 5.0);
    // Closed without a reply: an empty reply or a reset.
    EXPECT_TRUE(r.exit_code == 52 || r.exit_code == 56) << r.exit_code << r.stderr_text;
    EXPECT_EQ("", r.headers);
    // Every accepted client made one attempt of its own, and each failure was broadcast.
    EXPECT_TRUE(qvtest::WaitUntil(
        [&]() { return CountOf(daemon_->Broadcasts(), "200 connection unsucceed.") == attempt; },
        5))
        << daemon_->Broadcasts();
  }
  EXPECT_EQ(0, CountOf(daemon_->Broadcasts(), "100 connection succeed."));
  close(holder);
}

TEST_F(ProxyEndToEndTest, GoawayAfterThreeStreamsLaterRequestsUseANewConnection) {
  Gateway leaving;
  ASSERT_TRUE(leaving.Start(*dir_, {"--goaway-after", "3"}, "leaving"));
  daemon_.reset(new DaemonUnderTest({{"QUORVIN_GATE_PORT", std::to_string(leaving.port())}}));
  ASSERT_TRUE(daemon_->Start());
  ASSERT_TRUE(daemon_->StartListening());
  const int port = daemon_->StartProxy();
  ASSERT_GT(port, 0);
  for (int i = 0; i < 5; ++i) {
    CurlResult r = qvtest::RunCurl(daemon_->dir(), Via(port, {origin_->Url("/text")}));
    ExpectOriginBody(r, "/text");
    if (i == 2) {
      // The GOAWAY ends the connection once read; wait for that before the next client.
      ASSERT_TRUE(qvtest::WaitUntil(
          [&]() {
            return daemon_->Broadcasts().find("500 server disconnection") != std::string::npos;
          },
          5));
    }
  }
  EXPECT_EQ(2u, leaving.Events("conn").size());
  // Odd stream ids in request order, continuing on the new connection.
  std::vector<long long> ids;
  for (const std::string& e : leaving.Events("stream"))
    ids.push_back(qvtest::JsonNumber(e, "id"));
  EXPECT_EQ((std::vector<long long>{1, 3, 5, 7, 9}), ids);
  EXPECT_EQ(2, CountOf(daemon_->Broadcasts(), "100 connection succeed.")) << daemon_->Broadcasts();
}

TEST_F(ProxyEndToEndTest, ClientLinesNamedLikeTheRequestLineAreDropped) {
  const int port = StartDaemon(gateway_->port());
  ASSERT_GT(port, 0);
  CurlResult r = qvtest::RunCurl(
      daemon_->dir(), Via(port, {"-H", "Method: CONNECT", "-H", "Url: http://elsewhere.invalid/",
                                 "-H", "Version: HTTP/0.9", origin_->Url("/text")}));
  ExpectOriginBody(r, "/text");
  const std::vector<std::string> streams = gateway_->Events("stream");
  ASSERT_FALSE(streams.empty());
  const std::string& sent = streams.back();
  EXPECT_NE(std::string::npos, sent.find("\"method\":\"GET\"")) << sent;
  EXPECT_NE(std::string::npos, sent.find("\"url\":\"" + origin_->Url("/text") + "\"")) << sent;
  EXPECT_NE(std::string::npos, sent.find("\"version\":\"HTTP/1.1\"")) << sent;
  EXPECT_EQ(std::string::npos, sent.find("elsewhere")) << sent;
}

}  // namespace
