// Hostile request heads and unreadable reply heads, from
// tests/catalogue/data/hostile_clients.cases: raw bytes to the real daemon's proxy port, with the
// test gateway and the origin behind it. Each refused head must get its 400 (a reply head its 502,
// or lose the header), reach nothing (no line in the gateway's event log), count exactly the bytes
// that crossed the client's socket, and leave the daemon serving the next request.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
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

std::string CasePath(const CatalogueCase& c) {
  return "/text?case=" + c.name;
}

class HostileClients : public ::testing::Test {
 protected:
  void SetUp() override {
    cases_ = ReadCatalogue(QV_CATALOGUE_DIR "/hostile_clients.cases");
    // The gateway's extra reply headers, one entry per case that has them.
    std::string json = "{";
    for (const CatalogueCase& c : cases_) {
      if (!c.Has("reply-headers"))
        continue;
      json += (json.size() > 1 ? "," : "") + std::string("\"") + CasePath(c) +
              "\":" + c.Get("reply-headers");
    }
    json += "}";
    const std::string headers = dir_.File("reply-headers.json");
    ASSERT_TRUE(qvtest::WriteFile(headers, json));
    ASSERT_TRUE(origin_.Start(dir_));
    ASSERT_TRUE(gateway_.Start(dir_, {"--reply-headers", headers}));
    daemon_.reset(new DaemonUnderTest(
        {{"QUORVIN_GATE_PORT", std::to_string(gateway_.port())}, {"MAX_FRONTEND_TIME", "1"}}));
    ASSERT_TRUE(daemon_->Start());
    port_ = daemon_->StartProxy();
    ASSERT_GT(port_, 0);
  }

  std::vector<CatalogueCase> cases_;
  TempDir dir_;
  Origin origin_;
  Gateway gateway_;
  std::unique_ptr<DaemonUnderTest> daemon_;
  int port_ = -1;
};

TEST_F(HostileClients, EachIsRefusedAndReachesNothing) {
  ASSERT_FALSE(cases_.empty());
  const std::string origin = "127.0.0.1:" + std::to_string(origin_.http_port());
  const std::string proxy = "127.0.0.1:" + std::to_string(port_);
  auto fill = [&](std::string* text, const CatalogueCase& c) {
    Replace(text, "{ORIGIN}", origin);
    Replace(text, "{PROXY}", proxy);
    Replace(text, "{PORT}", std::to_string(port_));
    Replace(text, "{CASE}", CasePath(c));
  };
  // The gateway connection is made by the first client: its lines are no case's.
  const std::string good =
      "GET http://" + origin + "/text HTTP/1.1\r\nHost: " + origin + "\r\n\r\n";
  size_t good_sent = 0;
  ASSERT_EQ(0u, Talk(port_, {good}, false, 10, &good_sent).received.find("HTTP/1.1 200 OK\r\n"));
  long long up = 0, down = 0;
  std::string seen;
  qvtest::WaitUntil([&] { return gateway_.Events("reply").size() == 1; }, 5);
  usleep(200000);
  ASSERT_TRUE(Figures(*daemon_, &up, &down));

  for (const CatalogueCase& c : cases_) {
    SCOPED_TRACE(testing::PrintToString(c));
    ASSERT_FALSE(c.Has("error")) << c.Get("error");
    std::vector<std::string> pieces;
    std::string error;
    ASSERT_TRUE(CaseBytes(
        c, [&](std::string* bytes) { fill(bytes, c); }, &pieces, &error))
        << error;
    const size_t log_start = daemon_->Log().size();
    // The gateway logs on its own time: the lines of the request before are all in.
    size_t gateway_lines = gateway_.Events().size();
    for (int i = 0; i < 20; ++i) {
      usleep(100000);
      const size_t now = gateway_.Events().size();
      if (now == gateway_lines)
        break;
      gateway_lines = now;
    }
    const size_t streams_before = gateway_.Events("stream").size();
    const size_t rst_before = gateway_.Events("rst").size();
    size_t sent = 0;
    const Exchange x = Talk(port_, pieces, false, 6, &sent);

    if (c.Has("reply")) {
      std::string want, error;
      ASSERT_TRUE(BuildBytes(c.Get("reply"), &want, &error)) << error;
      EXPECT_EQ(want, x.received);
    } else if (c.Has("reply-prefix")) {
      std::string want, error;
      ASSERT_TRUE(BuildBytes(c.Get("reply-prefix"), &want, &error)) << error;
      EXPECT_EQ(want, x.received.substr(0, want.size()));
    } else {
      EXPECT_EQ("", x.received) << "no reply expected";
    }
    for (const std::string& has : c.GetAll("reply-has"))
      EXPECT_NE(std::string::npos, x.received.find(Unescape(has))) << has << " not in\n"
                                                                   << x.received;
    for (const std::string& lacks : c.GetAll("reply-lacks"))
      EXPECT_EQ(std::string::npos, x.received.find(Unescape(lacks))) << lacks << " in\n"
                                                                     << x.received;
    EXPECT_TRUE(x.closed) << "the daemon never closed the connection";
    EXPECT_LT(x.seconds, 0.9) << "closed only by the idle check";

    // Nothing is counted twice, or beyond what crossed the socket.
    up += static_cast<long long>(sent);
    down += static_cast<long long>(x.received.size());
    EXPECT_TRUE(FiguresReach(*daemon_, up, down, &seen))
        << "figures " << seen << ", want up " << up << " down " << down;
    Figures(*daemon_, &up, &down);

    const size_t streams = static_cast<size_t>(atoi(c.Get("streams", "0").c_str()));
    if (streams == 0) {
      // Whatever the gateway would log of it has had its time.
      usleep(200000);
      const std::vector<std::string> all = gateway_.Events();
      EXPECT_EQ(gateway_lines, all.size()) << "the gateway heard of it: " << all.back();
    } else {
      qvtest::WaitUntil(
          [&] { return gateway_.Events("stream").size() >= streams_before + streams; }, 3);
      const std::vector<std::string> opened = gateway_.Events("stream");
      ASSERT_EQ(streams_before + streams, opened.size());
      for (const std::string& name : c.GetAll("stream-lacks"))
        EXPECT_EQ(std::string::npos, opened.back().find("\"" + name + "\":")) << opened.back();
    }
    if (c.Has("rst")) {
      qvtest::WaitUntil([&] { return gateway_.Events("rst").size() > rst_before; }, 3);
      const std::vector<std::string> rst = gateway_.Events("rst");
      ASSERT_GT(rst.size(), rst_before);
      EXPECT_EQ(atoi(c.Get("rst").c_str()), qvtest::JsonNumber(rst.back(), "status"));
    }

    std::vector<std::string> warns;
    for (std::string w : c.GetAll("warn")) {
      fill(&w, c);
      warns.push_back(w);
    }
    ASSERT_FALSE(warns.empty()) << "a case names its WARN lines";
    std::string missing;
    qvtest::WaitUntil(
        [&] {
          return ContainsInOrder(WarnLines(daemon_->Log().substr(log_start)), warns, &missing);
        },
        3);
    EXPECT_TRUE(ContainsInOrder(WarnLines(daemon_->Log().substr(log_start)), warns, &missing))
        << "no WARN \"" << missing << "\"";

    const Exchange next = Talk(port_, {good}, false, 10, &good_sent);
    EXPECT_EQ(0u, next.received.find("HTTP/1.1 200 OK\r\n")) << next.received.substr(0, 200);
    up += static_cast<long long>(good_sent);
    down += static_cast<long long>(next.received.size());
    EXPECT_TRUE(FiguresReach(*daemon_, up, down, &seen)) << "after the good request: " << seen;
    Figures(*daemon_, &up, &down);
    printf("%-52s %s, %zu bytes back, %zu stream(s)\n", c.name.c_str(),
           x.closed ? (x.reset ? "reset" : "closed") : "open", x.received.size(), streams);
  }
  // Nothing of it reached the image figures.
  const std::string day = qvtest::Today();
  EXPECT_EQ("1 allFlow:{original:0,compressed:0}", daemon_->Ctl({"query", day, day, ""}).out);
}

}  // namespace
