// Bad bytes from the gateway, from tests/catalogue/data/gateway_frames.cases: the test gateway
// writes each case's bytes into a real session, and the gateway side must end the connection
// with the case's clean-up code (or keep it) and log the case's WARN lines. After an end the
// next connection to the same gateway must serve a request again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/catalogue_helper.h"
#include "daemon/gateway/gateway_peers_helper.h"
#include "gateway/back_connection.h"

using testing::ElementsAre;
using testing::HasSubstr;

namespace {

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

// A GET of the origin's text page on `stream_id` must come back whole.
void ExpectServed(GatewayHarness* h, uint32_t stream_id) {
  h->SendGet(stream_id, "/text");
  ASSERT_TRUE(h->RunUntilDone(stream_id));
  const std::string& reply = h->dispatch.replies[stream_id];
  EXPECT_THAT(reply, HasSubstr("HTTP/1.1 200 OK\r\n"));
  const size_t end = reply.find("\r\n\r\n");
  ASSERT_NE(end, std::string::npos);
  const size_t at = reply.find("x-body-sha256: ");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(reply.substr(at + 15, 64), Sha256Hex(reply.substr(end + 4)));
}

class GatewayFrames : public testing::TestWithParam<CatalogueCase> {};

TEST_P(GatewayFrames, EndAsCatalogued) {
  const CatalogueCase& c = GetParam();
  ASSERT_FALSE(c.Has("error")) << c.Get("error");
  std::string bytes, error;
  ASSERT_TRUE(BuildBytes(c.Get("bytes"), &bytes, &error)) << error;
  GatewayHarness h;
  const std::string raw_path = h.dir() + "/raw.bin";
  std::ofstream(raw_path, std::ios::binary) << bytes;
  std::vector<std::string> flags = {"--raw-file", raw_path, "--raw-after", c.Get("after", "0")};
  if (c.Get("layer") == "tcp")
    flags.push_back("--raw-plain");
  for (const std::string& w : Words(c.Get("flags")))
    flags.push_back(w);
  ASSERT_TRUE(h.StartGateway(flags));
  GetProxyConfig()->log_level_ = 1;

  const std::vector<std::string> warns = c.GetAll("warn");
  const std::vector<std::string> events = c.GetAll("event");
  ASSERT_FALSE(warns.empty()) << "every bad input is logged: a case names its WARN lines";
  std::string log;
  std::string missing;
  const std::string code = c.Get("code");
  {
    StderrCapture capture;
    ASSERT_TRUE(h.Connect());
    if (c.Has("request"))
      h.SendGet(1, c.Get("request"));
    auto seen = [&] {
      std::string ignored;
      return ContainsInOrder(WarnLines(capture.Text()), warns, &ignored) &&
             ContainsInOrder(h.dispatch.events, events, &ignored);
    };
    if (code != "none") {
      EXPECT_TRUE(h.RunUntilEnded());
      h.RunUntil(seen, 2);
    } else {
      EXPECT_TRUE(h.RunUntil(seen, 5));
      // Whatever would end the connection has had its chance by now.
      h.RunUntil([] { return false; }, 0.3);
    }
    log = capture.Text();
  }
  EXPECT_TRUE(ContainsInOrder(WarnLines(log), warns, &missing))
      << "no WARN \"" << missing << "\" in\n"
      << log;
  EXPECT_TRUE(ContainsInOrder(h.dispatch.events, events, &missing))
      << "no event \"" << missing << "\" in " << testing::PrintToString(h.dispatch.events);
  ASSERT_EQ(1u, h.Log("raw_sent").size());
  // "reply: ID EXPR": everything the client side was handed for stream ID.
  for (const std::string& spec : c.GetAll("reply")) {
    const uint32_t id = static_cast<uint32_t>(atoi(spec.c_str()));
    std::string want;
    ASSERT_TRUE(BuildBytes(spec.substr(spec.find(' ') + 1), &want, &error)) << error;
    EXPECT_EQ(want, h.dispatch.replies[id]) << "stream " << id;
  }

  if (code == "none") {
    EXPECT_TRUE(h.dispatch.end_codes.empty());
    EXPECT_TRUE(h.back()->initialized());
    if (c.Get("then") == "request")
      ExpectServed(&h, 3);
    return;
  }
  EXPECT_THAT(h.dispatch.end_codes, ElementsAre(atoi(code.c_str())));
  EXPECT_FALSE(h.back()->initialized());
  EXPECT_EQ(h.back()->fd(), -1);
  // The gateway serves its later connections normally: the session starts afresh.
  ASSERT_TRUE(h.Connect());
  ExpectServed(&h, 5);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, GatewayFrames,
                         testing::ValuesIn(ReadCatalogue(QV_CATALOGUE_DIR "/gateway_frames.cases")),
                         [](const testing::TestParamInfo<CatalogueCase>& info) {
                           return info.param.name;
                         });

}  // namespace
