// The control socket of the daemon binary, driven with http2proxyctl: replies, start and stop,
// the device id reaching the gateway, and traffic attributed to the UID that made it.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::CountOf;
using qvtest::CurlResult;
using qvtest::DaemonUnderTest;

class ControlEndToEndTest : public qvtest::PeersSuite {
 protected:
  void SetUp() override {
    daemon_.reset(new DaemonUnderTest({{"QUORVIN_GATE_PORT", std::to_string(gateway_->port())}}));
    ASSERT_TRUE(daemon_->Start());
  }

  CurlResult Fetch(int proxy_port, const std::string& path,
                   const std::vector<std::string>& prefix = {}) {
    return qvtest::RunCurl(daemon_->dir(),
                           {"-x", "http://127.0.0.1:" + std::to_string(proxy_port), "-w",
                            "%{size_header} %{size_request}", origin_->Url(path)},
                           90, prefix);
  }

  std::unique_ptr<DaemonUnderTest> daemon_;
};

TEST_F(ControlEndToEndTest, EveryCommandsReplyText) {
  const std::string day = "2012-02-29";
  struct Step {
    std::vector<std::string> words;
    std::string reply;
    int exit_code;
  };
  const std::vector<Step> steps = {
      {{"deviceid", "12345678901"}, "1 SetOkay.", 0},
      {{"set", "2"}, "1 SetOkay.", 0},
      {{"sim", "460011234567890"}, "1 SetSimOkay.", 0},
      {{"start"}, "1 StartOkay.", 0},
      {{"start"}, "1 StartOkay.", 0},
      {{"query", day, day, "460011234567890"}, "1 allFlow:{original:0,compressed:0}", 0},
      {{"queryflow", day, day, "460011234567890"}, "1 allFlow:{up:0,down:0}", 0},
      {{"querydetail", day, day, "460011234567890"}, "1 {Flow:[]}", 0},
      {{"querydetailflow", day, day, "460011234567890"}, "1 {Flow:[]}", 0},
      {{"frobnicate"}, "500 Command not recognized", 1},
      {{"stop"}, "1 StopOkay.", 0},
      {{"stop"}, "1 StopOkay.", 0},
  };
  for (const Step& step : steps) {
    const qvtest::CtlResult r = daemon_->Ctl(step.words);
    EXPECT_EQ(step.reply, r.out) << step.words[0];
    EXPECT_EQ(step.exit_code, r.exit_code) << step.words[0];
    if (step.words[0] == "start") {
      // A second start leaves the one proxy running.
      int port = -1;
      EXPECT_TRUE(qvtest::WaitUntil(
          [&]() {
            port = daemon_->ProxyPort();
            return port > 0;
          },
          5));
    }
  }
  EXPECT_EQ(-1, daemon_->ProxyPort());
  // The second stop found nothing to stop.
  EXPECT_EQ(1, CountOf(daemon_->Log(), "ALREADYSTOPED"));
  EXPECT_EQ(0, daemon_->Stop());
}

TEST_F(ControlEndToEndTest, StopThenStartServesAgainWithTheDeviceIdGivenWhileRunning) {
  const size_t connections_before = gateway_->Events("settings").size();
  // An image level given while stopped is what the next start uses.
  ASSERT_EQ("1 SetOkay.", daemon_->Ctl({"set", "5"}).out);
  int port = daemon_->StartProxy();
  ASSERT_GT(port, 0);
  ASSERT_EQ("1 SetOkay.", daemon_->Ctl({"deviceid", "12345678901"}).out);
  EXPECT_EQ(0, Fetch(port, "/text").exit_code);
  const std::vector<std::string> streams = gateway_->Events("stream");
  ASSERT_FALSE(streams.empty());
  EXPECT_NE(std::string::npos, streams.back().find("\"x-img-level\":\"5\"")) << streams.back();
  ASSERT_EQ("1 StopOkay.", daemon_->Ctl({"stop"}).out);
  EXPECT_EQ(-1, daemon_->ProxyPort());
  EXPECT_NE(0, Fetch(port, "/text").exit_code);

  port = daemon_->StartProxy();
  ASSERT_GT(port, 0);
  ASSERT_EQ("1 SetOkay.", daemon_->Ctl({"deviceid", "ab"}).out);
  CurlResult again = Fetch(port, "/text");
  EXPECT_EQ(0, again.exit_code) << again.stderr_text;
  EXPECT_EQ(200, qvtest::StatusCode(again.headers));

  // Each run opened its own gateway connection, greeted with the device id of that run:
  // 12345678901 = 2 * 2^32 + 3755744309, and "ab" hashes to 97 * 131 + 98.
  const std::vector<std::string> settings = gateway_->Events("settings");
  ASSERT_EQ(connections_before + 2, settings.size());
  EXPECT_NE(std::string::npos, settings[connections_before].find(
                                   "[[\"64000000\",1],[\"65000000\",2],[\"66000000\",3755744309]]"))
      << settings[connections_before];
  EXPECT_NE(std::string::npos, settings[connections_before + 1].find(
                                   "[[\"64000000\",1],[\"65000000\",0],[\"66000000\",12805]]"))
      << settings[connections_before + 1];
}

TEST_F(ControlEndToEndTest, TrafficOfAnotherUserIsKeptUnderItsUid) {
  if (geteuid() != 0)
    GTEST_SKIP() << "running a client as another user needs root";
  const int port = daemon_->StartProxy();
  ASSERT_GT(port, 0);
  CurlResult mine = Fetch(port, "/text");
  CurlResult theirs = Fetch(port, "/size/5000",
                            {"setpriv", "--reuid", "4242", "--regid", "4242", "--clear-groups"});
  ASSERT_EQ(0, mine.exit_code) << mine.stderr_text;
  ASSERT_EQ(0, theirs.exit_code) << theirs.stderr_text;
  long long mine_head = 0, mine_request = 0, their_head = 0, their_request = 0;
  ASSERT_EQ(2, sscanf(mine.written.c_str(), "%lld %lld", &mine_head, &mine_request));
  ASSERT_EQ(2, sscanf(theirs.written.c_str(), "%lld %lld", &their_head, &their_request));
  const long long mine_down = mine_head + static_cast<long long>(mine.body.size());
  const long long their_down = their_head + static_cast<long long>(theirs.body.size());

  const std::string today = qvtest::Today();
  const std::string mine_item =
      "{up:" + std::to_string(mine_request) + ",down:" + std::to_string(mine_down) + ",appUID:0}";
  const std::string their_item = "{up:" + std::to_string(their_request) +
                                 ",down:" + std::to_string(their_down) + ",appUID:4242}";
  // The figure of the last write may still be on its way when curl has ended.
  std::string detail;
  EXPECT_TRUE(qvtest::WaitUntil(
      [&]() {
        detail = daemon_->Ctl({"querydetailflow", today, today, ""}).out;
        return detail == "1 {Flow:[" + mine_item + "," + their_item + "]}" ||
               detail == "1 {Flow:[" + their_item + "," + mine_item + "]}";
      },
      5))
      << detail;
  EXPECT_EQ("1 allFlow:{up:" + std::to_string(mine_request + their_request) +
                ",down:" + std::to_string(mine_down + their_down) + "}",
            daemon_->Ctl({"queryflow", today, today, ""}).out);
}

}  // namespace
