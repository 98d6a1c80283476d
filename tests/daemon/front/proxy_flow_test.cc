// The proxy in this process (AppInterface::Start with a recording notifier) against the real
// test gateway, the origin and curl.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "control/command_notifier.h"
#include "core/app_interface.h"
#include "core/proxy_config.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::CurlResult;
using qvtest::Gateway;
using qvtest::HeaderValue;
using qvtest::Origin;
using qvtest::Sha256Hex;
using qvtest::TempDir;

// Everything the proxy reports, as the control side would receive it (from the HttpThread).
class RecordingNotifier : public CommandNotifier {
 public:
  void OnInformation(int type, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    infos_.emplace_back(type, text);
  }
  void ReportFlow(int source_port, int bytes, int direction) override {
    std::lock_guard<std::mutex> lock(mutex_);
    (direction == 1 ? up_ : down_)[source_port] += bytes;
  }
  void ReportCompression(int source_port, int uncompressed, int compressed) override {
    std::lock_guard<std::mutex> lock(mutex_);
    compression_.push_back({source_port, uncompressed, compressed});
  }

  std::vector<std::pair<int, std::string>> infos() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return infos_;
  }
  bool HasInfo(int type, const std::string& text) const {
    const auto all = infos();
    return std::find(all.begin(), all.end(), std::make_pair(type, text)) != all.end();
  }
  // Totals over all clients: bytes sent by the applications, bytes they received.
  long long TotalUp() const { return Total(up_); }
  long long TotalDown() const { return Total(down_); }
  std::vector<std::vector<int>> compression() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return compression_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    infos_.clear();
    up_.clear();
    down_.clear();
    compression_.clear();
  }

 private:
  long long Total(const std::map<int, long long>& m) const {
    std::lock_guard<std::mutex> lock(mutex_);
    long long sum = 0;
    for (const auto& e : m)
      sum += e.second;
    return sum;
  }

  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> infos_;
  std::map<int, long long> up_;
  std::map<int, long long> down_;
  std::vector<std::vector<int>> compression_;
};

class ProxyFlowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    origin_ = new Origin();
    gateway_ = new Gateway();
    ASSERT_TRUE(origin_->Start(*dir_));
    ASSERT_TRUE(gateway_->Start(*dir_));
  }
  static void TearDownTestSuite() {
    delete gateway_;
    delete origin_;
    delete dir_;
  }

  void SetUp() override {
    ProxyConfig* config = GetProxyConfig();
    const char* level = getenv("QV_TEST_LOG_LEVEL");
    config->log_level_ = level != nullptr ? atoi(level) : 0;
    config->listen_ip_ = "127.0.0.1";
    config->listen_port_ = "0";
    config->quorvin_gate_ip_ = "127.0.0.1";
    config->max_frontend_time_ = 30;
    config->max_session_queue_size_ = 20;
    config->disable_nagle_ = true;
  }

  void TearDown() override {
    if (app_ != nullptr && app_->started()) {
      EXPECT_EQ(0, app_->Stop());
    }
    app_.reset();
  }

  // Starts the proxy towards the gateway on `gateway_port`; returns its listening port.
  int StartProxy(int gateway_port) {
    GetProxyConfig()->quorvin_gate_port_ = std::to_string(gateway_port);
    const std::vector<int> before = qvtest::ListeningPorts(0);
    app_.reset(new AppInterface());
    if (app_->Start(&notifier_) != 0)
      return -1;
    for (int port : qvtest::ListeningPorts(0)) {
      if (std::find(before.begin(), before.end(), port) == before.end())
        return port;
    }
    return -1;
  }

  std::vector<std::string> Via(int proxy_port, std::vector<std::string> args) const {
    args.insert(args.begin(), {"-x", "http://127.0.0.1:" + std::to_string(proxy_port)});
    return args;
  }

  static TempDir* dir_;
  static Origin* origin_;
  static Gateway* gateway_;
  RecordingNotifier notifier_;
  std::unique_ptr<AppInterface> app_;
};

TempDir* ProxyFlowTest::dir_ = nullptr;
Origin* ProxyFlowTest::origin_ = nullptr;
Gateway* ProxyFlowTest::gateway_ = nullptr;

// The body arrived whole: its digest is the one the origin computed, for the path asked.
void ExpectOriginBody(const CurlResult& r, const std::string& path) {
  EXPECT_EQ(0, r.exit_code) << path << ": " << r.stderr_text;
  EXPECT_EQ(200, qvtest::StatusCode(r.headers)) << r.headers;
  EXPECT_EQ(path, HeaderValue(r.headers, "x-path"));
  EXPECT_EQ(HeaderValue(r.headers, "x-body-sha256"), Sha256Hex(r.body)) << path;
}

TEST_F(ProxyFlowTest, RepliesArriveWholeAndEveryByteIsReported) {
  const int port = StartProxy(gateway_->port());
  ASSERT_GT(port, 0);
  struct Case {
    const char* path;
    bool head;
    size_t body_size;  // 0: whatever the origin sends
  };
  const Case cases[] = {
      {"/text", false, 0},    {"/big.bin", false, 10 * 1024 * 1024},
      {"/chunked", false, 0}, {"/image.png", false, 0},
      {"/big.bin", true, 0},
  };
  long long expected_down = 0;
  long long expected_up = 0;
  size_t image_size = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = {"-w", "%{size_header} %{size_request}"};
    if (c.head)
      args.push_back("-I");
    args.push_back(origin_->Url(c.path));
    CurlResult r = qvtest::RunCurl(*dir_, Via(port, args));
    if (c.head) {
      EXPECT_EQ(0, r.exit_code) << r.stderr_text;
      EXPECT_EQ(200, qvtest::StatusCode(r.headers)) << r.headers;
      EXPECT_EQ("10485760", HeaderValue(r.headers, "content-length"));
      // curl -I writes the head as its output: no body came.
      EXPECT_EQ(r.headers, r.body);
    } else {
      ExpectOriginBody(r, c.path);
    }
    if (c.body_size != 0) {
      EXPECT_EQ(c.body_size, r.body.size());
    }
    if (std::string(c.path) == "/image.png")
      image_size = r.body.size();
    long long header_bytes = 0, request_bytes = 0;
    ASSERT_EQ(2, sscanf(r.written.c_str(), "%lld %lld", &header_bytes, &request_bytes));
    expected_down += header_bytes + static_cast<long long>(c.head ? 0 : r.body.size());
    expected_up += request_bytes;
  }
  // Every byte curl saw, and every byte it sent, was reported once.
  qvtest::WaitUntil([&]() { return notifier_.TotalDown() >= expected_down; }, 5);
  EXPECT_EQ(expected_down, notifier_.TotalDown());
  EXPECT_EQ(expected_up, notifier_.TotalUp());
  // The image reply carried the gateway's size figures.
  const auto figures = notifier_.compression();
  ASSERT_EQ(1u, figures.size());
  EXPECT_GT(image_size, 0u);
  EXPECT_EQ(static_cast<int>(image_size), figures[0][2]);
  EXPECT_GT(figures[0][1], 0);
  EXPECT_TRUE(notifier_.HasInfo(4, "CONNECTIONSTART"));
}

TEST_F(ProxyFlowTest, UploadsAreEchoed) {
  const int port = StartProxy(gateway_->port());
  ASSERT_GT(port, 0);
  const std::string body = qvtest::PatternBytes(1024 * 1024, 7);
  const std::string file = dir_->File("upload.bin");
  ASSERT_TRUE(qvtest::WriteFile(file, body));
  const std::vector<std::vector<std::string>> variants = {
      {"-H", "Content-Type: application/octet-stream"},
      {"-H", "Transfer-Encoding: chunked"},
  };
  for (const auto& variant : variants) {
    std::vector<std::string> args = {"-H", "Expect:", "--data-binary", "@" + file};
    args.insert(args.end(), variant.begin(), variant.end());
    args.push_back(origin_->Url("/echo"));
    CurlResult r = qvtest::RunCurl(*dir_, Via(port, args));
    ExpectOriginBody(r, "/echo");
    EXPECT_EQ(body.size(), r.body.size()) << variant[1];
    EXPECT_TRUE(r.body == body) << variant[1];
  }
}

TEST_F(ProxyFlowTest, TwentyClientsAtOnceEachGetTheirOwnBody) {
  const int port = StartProxy(gateway_->port());
  ASSERT_GT(port, 0);
  const size_t streams_before = gateway_->Events("stream").size();
  std::vector<std::vector<std::string>> runs;
  for (int i = 0; i < 20; ++i)
    runs.push_back(Via(port, {origin_->Url("/size/" + std::to_string(1000 + i * 7919))}));
  const std::vector<CurlResult> results = qvtest::RunCurls(*dir_, runs);
  for (int i = 0; i < 20; ++i) {
    const std::string path = "/size/" + std::to_string(1000 + i * 7919);
    ExpectOriginBody(results[i], path);
    EXPECT_EQ(static_cast<size_t>(1000 + i * 7919), results[i].body.size()) << path;
  }
  // The SYN_STREAMs reached the gateway in increasing id order, whatever order the clients
  // completed their requests in (a lower id after a higher one is reset by the gateway).
  const std::vector<std::string> streams = gateway_->Events("stream");
  ASSERT_EQ(streams_before + 20, streams.size());
  for (size_t i = streams_before + 1; i < streams.size(); ++i)
    EXPECT_LT(qvtest::JsonNumber(streams[i - 1], "id"), qvtest::JsonNumber(streams[i], "id"));
}

TEST_F(ProxyFlowTest, ConnectTunnelCarriesTenMegabytesBothWays) {
  const int port = StartProxy(gateway_->port());
  ASSERT_GT(port, 0);
  const size_t streams_before = gateway_->Events("stream").size();
  CurlResult down = qvtest::RunCurl(*dir_, Via(port, {"-p", "-k", origin_->HttpsUrl("/big.bin")}));
  ExpectOriginBody(down, "/big.bin");
  EXPECT_EQ(10u * 1024 * 1024, down.body.size());
  EXPECT_NE(std::string::npos, down.headers.find("HTTP/1.0 200 Connection established\r\n"));

  const std::string body = qvtest::PatternBytes(10 * 1024 * 1024, 11);
  const std::string file = dir_->File("tunnel-upload.bin");
  ASSERT_TRUE(qvtest::WriteFile(file, body));
  CurlResult up = qvtest::RunCurl(*dir_, Via(port, {"-p", "-k", "-H", "Expect:", "--data-binary",
                                                    "@" + file, origin_->HttpsUrl("/echo")}));
  ExpectOriginBody(up, "/echo");
  EXPECT_TRUE(up.body == body);
  // Tunnels never reach the gateway.
  EXPECT_EQ(streams_before, gateway_->Events("stream").size());
}

TEST_F(ProxyFlowTest, ClientClosingBeforeItsReplyCancelsTheStream) {
  Gateway slow;
  ASSERT_TRUE(slow.Start(*dir_, {"--delay-ms", "3000"}, "slow"));
  const int port = StartProxy(slow.port());
  ASSERT_GT(port, 0);
  CurlResult r = qvtest::RunCurl(*dir_, Via(port, {"--max-time", "1", origin_->Url("/text")}));
  EXPECT_EQ(28, r.exit_code) << r.stderr_text;
  ASSERT_TRUE(qvtest::WaitUntil([&]() { return !slow.Events("rst").empty(); }, 5));
  const std::vector<std::string> streams = slow.Events("stream");
  ASSERT_EQ(1u, streams.size());
  const std::vector<std::string> resets = slow.Events("rst");
  ASSERT_EQ(1u, resets.size());
  EXPECT_EQ(qvtest::JsonNumber(streams[0], "id"), qvtest::JsonNumber(resets[0], "id"));
  EXPECT_EQ(5, qvtest::JsonNumber(resets[0], "status"));
}

TEST_F(ProxyFlowTest, SilentClientIsClosedAfterTheIdleTime) {
  GetProxyConfig()->max_frontend_time_ = 2;
  const int port = StartProxy(gateway_->port());
  ASSERT_GT(port, 0);
  const int fd = qvtest::ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  const double waited = qvtest::WaitForClose(fd, 10);
  close(fd);
  // More than 2 s of silence, noticed by one of the checks that run about every 1.1 s.
  EXPECT_GE(waited, 1.9);
  EXPECT_LE(waited, 6.0);
}

TEST_F(ProxyFlowTest, UnreachableGatewayClosesTheClientAtOnce) {
  int holder = -1;
  const int refusing = qvtest::RefusingPort(&holder);
  ASSERT_GT(refusing, 0);
  const int port = StartProxy(refusing);
  ASSERT_GT(port, 0);
  for (int attempt = 1; attempt <= 2; ++attempt) {
    const double start = qvtest::NowSeconds();
    CurlResult r = qvtest::RunCurl(*dir_, Via(port, {origin_->Url("/text")}));
    EXPECT_LT(qvtest::NowSeconds() - start, 5.0);
    // Closed without a reply: an empty reply or a reset.
    EXPECT_TRUE(r.exit_code == 52 || r.exit_code == 56) << r.exit_code << r.stderr_text;
    EXPECT_EQ("", r.headers);
    // Every accepted client made one attempt of its own.
    int failures = 0;
    for (const auto& info : notifier_.infos())
      failures += info == std::make_pair(2, std::string("StartConnection err")) ? 1 : 0;
    EXPECT_EQ(attempt, failures);
  }
  EXPECT_FALSE(notifier_.HasInfo(4, "CONNECTIONSTART"));
  close(holder);
}

TEST_F(ProxyFlowTest, GoawayAfterThreeStreamsLaterRequestsUseANewConnection) {
  Gateway leaving;
  ASSERT_TRUE(leaving.Start(*dir_, {"--goaway-after", "3"}, "leaving"));
  const int port = StartProxy(leaving.port());
  ASSERT_GT(port, 0);
  for (int i = 0; i < 5; ++i) {
    CurlResult r = qvtest::RunCurl(*dir_, Via(port, {origin_->Url("/text")}));
    ExpectOriginBody(r, "/text");
    if (i == 2) {
      // The GOAWAY ends the connection once read; wait for that before the next client.
      ASSERT_TRUE(
          qvtest::WaitUntil([&]() { return notifier_.HasInfo(3, "CONNECTIONDOWNERR"); }, 5));
    }
  }
  EXPECT_EQ(2u, leaving.Events("conn").size());
  // Odd stream ids in accept order, continuing across the new connection.
  std::vector<long long> ids;
  for (const std::string& e : leaving.Events("stream"))
    ids.push_back(qvtest::JsonNumber(e, "id"));
  EXPECT_EQ((std::vector<long long>{1, 3, 5, 7, 9}), ids);
  int starts = 0;
  for (const auto& info : notifier_.infos())
    starts += info.first == 4 ? 1 : 0;
  EXPECT_EQ(2, starts);
}

TEST_F(ProxyFlowTest, ClientLinesNamedLikeTheRequestLineAreDropped) {
  const int port = StartProxy(gateway_->port());
  ASSERT_GT(port, 0);
  CurlResult r = qvtest::RunCurl(
      *dir_, Via(port, {"-H", "Method: CONNECT", "-H", "Url: http://elsewhere.invalid/", "-H",
                        "Version: HTTP/0.9", origin_->Url("/text")}));
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
