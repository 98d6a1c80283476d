// Bad requests from applications, from tests/catalogue/data/app_requests.cases: raw bytes to the
// real daemon's proxy port (with the test gateway and the origin behind it). Each case must get
// its reply or close and its log lines, the figures must grow by exactly the bytes that crossed
// the client's socket, the gateway must see what the case says, and the daemon must serve the
// next request afterwards.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "catalogue/catalogue_helper.h"
#include "catalogue/client_exchange_helper.h"
#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::DaemonUnderTest;
using qvtest::Gateway;
using qvtest::Origin;
using qvtest::TempDir;

class AppRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(origin_.Start(dir_));
    ASSERT_TRUE(gateway_.Start(dir_));
    daemon_.reset(new DaemonUnderTest(
        {{"QUORVIN_GATE_PORT", std::to_string(gateway_.port())}, {"MAX_FRONTEND_TIME", "1"}}));
    ASSERT_TRUE(daemon_->Start());
    port_ = daemon_->StartProxy();
    ASSERT_GT(port_, 0);
  }

  TempDir dir_;
  Origin origin_;
  Gateway gateway_;
  std::unique_ptr<DaemonUnderTest> daemon_;
  int port_ = -1;
};

TEST_F(AppRequests, EachGetsWhatItMust) {
  const std::vector<CatalogueCase> cases = ReadCatalogue(QV_CATALOGUE_DIR "/app_requests.cases");
  const std::string origin = "127.0.0.1:" + std::to_string(origin_.http_port());
  const std::string https = "127.0.0.1:" + std::to_string(origin_.https_port());
  long long up = 0, down = 0;
  ASSERT_TRUE(Figures(*daemon_, &up, &down));
  const std::string good =
      "GET http://" + origin + "/text HTTP/1.1\r\nHost: " + origin + "\r\n\r\n";
  for (const CatalogueCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c));
    ASSERT_FALSE(c.Has("error")) << c.Get("error");
    std::vector<std::string> pieces;
    std::string error;
    ASSERT_TRUE(CaseBytes(
        c,
        [&](std::string* bytes) {
          Replace(bytes, "{ORIGIN}", origin);
          Replace(bytes, "{HTTPS}", https);
        },
        &pieces, &error))
        << error;
    const size_t log_start = daemon_->Log().size();
    const size_t streams_before = gateway_.Events("stream").size();
    const size_t rst_before = gateway_.Events("rst").size();
    size_t sent = 0;
    const std::string ends = c.Get("ends", "close");
    const Exchange x = Talk(port_, pieces, ends == "client-close", 6, &sent);

    // The reply, or the close, the case calls for.
    if (c.Has("reply-prefix")) {
      std::string want, error;
      ASSERT_TRUE(BuildBytes(c.Get("reply-prefix"), &want, &error)) << error;
      EXPECT_EQ(want, x.received.substr(0, want.size()));
    } else if (ends != "client-close") {
      EXPECT_EQ("", x.received) << "no reply expected";
    }
    for (const std::string& has : c.GetAll("reply-has")) {
      std::string text = Unescape(has);
      Replace(&text, "{ORIGIN}", origin);
      EXPECT_NE(std::string::npos, x.received.find(text)) << has << " not in\n" << x.received;
    }
    EXPECT_TRUE(x.closed) << "the daemon never closed the connection";
    if (ends == "idle") {
      EXPECT_GE(x.seconds, 0.9) << "closed before the idle time";
    } else if (ends == "close") {
      EXPECT_LT(x.seconds, 0.9) << "closed only by the idle check";
    }

    // Only the bytes that crossed the socket count: every byte sent was read (the cases are
    // small), every byte received was written.
    up += static_cast<long long>(sent);
    down += static_cast<long long>(x.received.size());
    std::string seen;
    EXPECT_TRUE(FiguresReach(*daemon_, up, down, &seen))
        << "figures " << seen << ", want up " << up << " down " << down;
    Figures(*daemon_, &up, &down);

    // What the gateway saw of it.
    const size_t streams = gateway_.Events("stream").size() - streams_before;
    EXPECT_EQ(static_cast<size_t>(atoi(c.Get("streams", "0").c_str())), streams);
    if (c.Has("rst")) {
      qvtest::WaitUntil([&] { return gateway_.Events("rst").size() > rst_before; }, 3);
      const std::vector<std::string> rst = gateway_.Events("rst");
      ASSERT_GT(rst.size(), rst_before);
      EXPECT_EQ(atoi(c.Get("rst").c_str()), qvtest::JsonNumber(rst.back(), "status"));
    }

    // Logged, as the case says.
    const std::vector<std::string> warns = c.GetAll("warn");
    ASSERT_FALSE(warns.empty()) << "a case names its WARN lines, or \"warn: none\"";
    std::string missing;
    if (warns == std::vector<std::string>{"none"}) {
      EXPECT_TRUE(c.Has("why-silent")) << "a bad request that is not logged says why";
    } else {
      qvtest::WaitUntil(
          [&] {
            return ContainsInOrder(WarnLines(daemon_->Log().substr(log_start)), warns, &missing);
          },
          3);
      EXPECT_TRUE(ContainsInOrder(WarnLines(daemon_->Log().substr(log_start)), warns, &missing))
          << "no WARN \"" << missing << "\"";
    }
    if (getenv("QV_CATALOGUE_SHOW") != nullptr) {
      for (const std::string& w : WarnLines(daemon_->Log().substr(log_start)))
        printf("  %s\n", w.c_str());
    }

    // Alive, and serving the next application.
    size_t good_sent = 0;
    const Exchange next = Talk(port_, {good}, false, 10, &good_sent);
    EXPECT_EQ(0u, next.received.find("HTTP/1.1 200 OK\r\n")) << next.received.substr(0, 200);
    EXPECT_NE(std::string::npos, next.received.find("x-path: /text\r\n"));
    up += static_cast<long long>(good_sent);
    down += static_cast<long long>(next.received.size());
    EXPECT_TRUE(FiguresReach(*daemon_, up, down, &seen)) << "after the good request: " << seen;
    Figures(*daemon_, &up, &down);
    printf("%-44s %s, %zu bytes back, %zu stream(s)\n", c.name.c_str(),
           x.closed ? (x.reset ? "reset" : "closed") : "open", x.received.size(), streams);
  }
  // Nothing of it reached the gateway's image figures.
  const std::string day = qvtest::Today();
  EXPECT_EQ("1 allFlow:{original:0,compressed:0}", daemon_->Ctl({"query", day, day, ""}).out);
}

}  // namespace
