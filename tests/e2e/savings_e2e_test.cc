// What the compression saves, end to end: the test pages through the daemon binary and the
// compressing test gateway. Every file arrives as the origin sent it except photographs at image
// levels 1 to 3, which arrive re-encoded, smaller, whole and of the same type and size; the
// daemon's "status" agrees with what curl and the gateway counted, and "query" with the image
// sizes the gateway reported.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::CurlResult;
using qvtest::DaemonUnderTest;
using qvtest::HeaderValue;

// One line of /pages/NAME.list: what loading the page fetches.
struct PageFile {
  std::string path;
  std::string type;
  size_t size = 0;
  std::string sha256;
  bool image() const { return type == "image/jpeg" || type == "image/png"; }
};

// A figure of a "status" reply ("...,key:N,..."); -1 when absent.
long long StatusFigure(const std::string& reply, const std::string& key) {
  for (const char* before : {"{", ","}) {
    const std::string needle = before + key + ":";
    const size_t at = reply.find(needle);
    if (at != std::string::npos)
      return strtoll(reply.c_str() + at + needle.size(), nullptr, 10);
  }
  return -1;
}

class SavingsEndToEndTest : public qvtest::PeersSuite {
 protected:
  // The files of every test page, from the origin itself.
  static std::vector<PageFile> PageMix() {
    std::vector<PageFile> files;
    CurlResult index = qvtest::RunCurl(*dir_, {origin_->Url("/pages/index.txt")});
    for (const std::string& page : qvtest::Lines(index.body)) {
      CurlResult list = qvtest::RunCurl(*dir_, {origin_->Url("/pages/" + page + ".list")});
      EXPECT_EQ(200, qvtest::StatusCode(list.headers)) << list.body;
      for (const std::string& line : qvtest::Lines(list.body)) {
        std::istringstream in(line);
        PageFile f;
        in >> f.path >> f.type >> f.size >> f.sha256;
        files.push_back(f);
      }
    }
    return files;
  }

  static std::vector<std::string> Via(int proxy_port, std::vector<std::string> args) {
    args.insert(args.begin(), {"-x", "http://127.0.0.1:" + std::to_string(proxy_port)});
    return args;
  }

  // "FORMAT WIDTH HEIGHT" of each image file as sharp decodes it whole ("invalid ..." if not).
  static std::vector<std::string> ImageInfo(const std::vector<std::string>& files) {
    std::string script = QV_ORIGIN_JS;
    script = script.substr(0, script.rfind('/')) + "/image_info.js";
    std::vector<std::string> argv = {QV_NODE, script};
    argv.insert(argv.end(), files.begin(), files.end());
    qvtest::Process node;
    if (!node.Spawn(argv, dir_->File("image_info.out"), dir_->File("image_info.err")) ||
        node.Wait(60) == -1)
      return {};
    return qvtest::Lines(qvtest::ReadFile(dir_->File("image_info.out")));
  }
};

TEST_F(SavingsEndToEndTest, ImagesAreReencodedAtLevelsOneToThreeAndAllElseArrivesAsSent) {
  const std::vector<PageFile> files = PageMix();
  ASSERT_GE(files.size(), 15u);
  // The photographs as the origin has them, and how they decode.
  std::vector<std::string> originals;
  for (const PageFile& f : files) {
    if (!f.image())
      continue;
    const std::string name = dir_->File("original" + std::to_string(originals.size()));
    CurlResult r = qvtest::RunCurl(*dir_, {origin_->Url(f.path)});
    ASSERT_EQ(0, r.exit_code) << f.path;
    ASSERT_EQ(f.sha256, qvtest::Sha256Hex(r.body)) << f.path;
    ASSERT_TRUE(qvtest::WriteFile(name, r.body));
    originals.push_back(name);
  }
  ASSERT_GE(originals.size(), 6u);
  const std::vector<std::string> original_info = ImageInfo(originals);
  ASSERT_EQ(originals.size(), original_info.size());
  for (const std::string& info : original_info)
    ASSERT_EQ(std::string::npos, info.find("invalid")) << info;

  DaemonUnderTest daemon(
      {{"QUORVIN_GATE_PORT", std::to_string(gateway_->port())}, {"IMG_LEVEL", "0"}});
  ASSERT_TRUE(daemon.Start());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  std::map<std::string, size_t> level1_size;
  for (int level = 0; level <= 3; ++level) {
    ASSERT_EQ("1 SetOkay.", daemon.Ctl({"set", std::to_string(level)}).out);
    std::vector<std::string> received;
    for (const PageFile& f : files) {
      CurlResult r = qvtest::RunCurl(daemon.dir(), Via(port, {origin_->Url(f.path)}));
      const std::string what = f.path + " at level " + std::to_string(level);
      ASSERT_EQ(0, r.exit_code) << what << ": " << r.stderr_text;
      EXPECT_EQ(200, qvtest::StatusCode(r.headers)) << what;
      EXPECT_EQ(std::to_string(r.body.size()), HeaderValue(r.headers, "content-length")) << what;
      if (!f.image() || level == 0) {
        EXPECT_EQ(f.sha256, qvtest::Sha256Hex(r.body)) << what;
        continue;
      }
      // Re-encoded: smaller, with both true sizes in the reply.
      EXPECT_LT(r.body.size(), f.size) << what;
      EXPECT_EQ(std::to_string(f.size), HeaderValue(r.headers, "x-img-src-len")) << what;
      EXPECT_EQ(std::to_string(r.body.size()), HeaderValue(r.headers, "x-img-dst-len")) << what;
      if (level == 1)
        level1_size[f.path] = r.body.size();
      if (level == 3) {
        EXPECT_LT(r.body.size(), level1_size[f.path]) << what;
      }
      const std::string name = daemon.dir().File("level" + std::to_string(level) + "_" +
                                                 std::to_string(received.size()));
      ASSERT_TRUE(qvtest::WriteFile(name, r.body));
      received.push_back(name);
    }
    if (level == 0)
      continue;
    // Whole images of the origin's type and dimensions.
    EXPECT_EQ(original_info, ImageInfo(received)) << "level " << level;
  }
  // An image the origin marks "Cache-Control: no-transform" is left as it is.
  CurlResult kept = qvtest::RunCurl(daemon.dir(), Via(port, {origin_->Url("/image.png")}));
  EXPECT_EQ(HeaderValue(kept.headers, "x-body-sha256"), qvtest::Sha256Hex(kept.body));
  EXPECT_EQ(std::to_string(kept.body.size()), HeaderValue(kept.headers, "x-img-dst-len"));
  EXPECT_EQ(std::to_string(kept.body.size()), HeaderValue(kept.headers, "x-img-src-len"));
}

TEST_F(SavingsEndToEndTest, PassthroughSendsEveryFileAsTheOriginHasItAtAnyLevel) {
  const std::vector<PageFile> files = PageMix();
  qvtest::Gateway gateway;
  ASSERT_TRUE(gateway.Start(*dir_, {"--passthrough"}, "passthrough_gateway"));
  DaemonUnderTest daemon(
      {{"QUORVIN_GATE_PORT", std::to_string(gateway.port())}, {"IMG_LEVEL", "3"}});
  ASSERT_TRUE(daemon.Start());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  long long bodies = 0;
  for (const PageFile& f : files) {
    CurlResult r = qvtest::RunCurl(daemon.dir(), Via(port, {origin_->Url(f.path)}));
    ASSERT_EQ(0, r.exit_code) << f.path << ": " << r.stderr_text;
    EXPECT_EQ(f.sha256, qvtest::Sha256Hex(r.body)) << f.path;
    if (f.image()) {
      EXPECT_EQ(std::to_string(f.size), HeaderValue(r.headers, "x-img-dst-len")) << f.path;
    }
    bodies += static_cast<long long>(r.body.size());
  }
  ASSERT_TRUE(
      qvtest::WaitUntil([&]() { return gateway.Events("reply").size() == files.size(); }, 10));
  for (const std::string& reply : gateway.Events("reply")) {
    EXPECT_EQ(std::string::npos, reply.find("\"coding\":\"deflate\"")) << reply;
    EXPECT_EQ(qvtest::JsonNumber(reply, "len"), qvtest::JsonNumber(reply, "wire")) << reply;
  }
  // Nothing saved: the link carried every body and its framing.
  const std::string s = daemon.Ctl({"--raw", "status"}).out;
  EXPECT_GT(StatusFigure(s, "linkDown"), bodies) << s;
}

TEST_F(SavingsEndToEndTest, StatusAgreesWithCurlAndTheGatewayAndQueryWithTheImageSizes) {
  const std::vector<PageFile> files = PageMix();
  // A gateway of its own, so that its log and its connection are this daemon's alone.
  qvtest::Gateway gateway;
  ASSERT_TRUE(gateway.Start(*dir_, {}, "status_gateway"));
  DaemonUnderTest daemon(
      {{"QUORVIN_GATE_PORT", std::to_string(gateway.port())}, {"IMG_LEVEL", "3"}});
  ASSERT_TRUE(daemon.Start());
  ASSERT_EQ("1 SetSimOkay.", daemon.Ctl({"sim", "4600"}).out);
  const qvtest::CtlResult stopped = daemon.Ctl({"--raw", "status"});
  EXPECT_EQ(0, stopped.exit_code);
  EXPECT_EQ(0u, stopped.out.find("1 {running:0,listen:127.0.0.1:0,gateway:down,uptime:"))
      << stopped.out;
  EXPECT_NE(std::string::npos, stopped.out.find(",level:3,sim:4600,config:")) << stopped.out;
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  ASSERT_EQ("1 SetSimOkay.", daemon.Ctl({"sim", ""}).out);

  long long down = 0, up = 0, requests = 0;
  for (const PageFile& f : files) {
    CurlResult r = qvtest::RunCurl(
        daemon.dir(), Via(port, {"-w", "%{size_header} %{size_request}", origin_->Url(f.path)}));
    ASSERT_EQ(0, r.exit_code) << f.path << ": " << r.stderr_text;
    long long head = 0, request = 0;
    ASSERT_EQ(2, sscanf(r.written.c_str(), "%lld %lld", &head, &request)) << r.written;
    down += head + static_cast<long long>(r.body.size());
    up += request;
    ++requests;
  }
  ASSERT_TRUE(qvtest::WaitUntil(
      [&]() { return static_cast<long long>(gateway.Events("reply").size()) == requests; }, 10));
  const qvtest::CtlResult raw = daemon.Ctl({"--raw", "status"});
  const std::string& s = raw.out;
  EXPECT_EQ(0u,
            s.find("1 {running:1,listen:127.0.0.1:" + std::to_string(port) + ",gateway:up,uptime:"))
      << s;
  EXPECT_EQ(requests, StatusFigure(s, "streams")) << s;
  EXPECT_EQ(down, StatusFigure(s, "appDown")) << s;
  EXPECT_EQ(up, StatusFigure(s, "appUp")) << s;
  EXPECT_GE(StatusFigure(s, "rttMs"), 0) << s;
  EXPECT_NE(std::string::npos,
            s.find(",level:3,sim:,config:" + daemon.dir().File("http2quorvin.conf") + "}"))
      << s;

  // The image sizes the gateway reported are what "query" sums; the link carried less than the
  // applications got, since text crossed it deflated.
  long long original = 0, compressed = 0;
  for (const std::string& reply : gateway.Events("reply")) {
    if (reply.find("\"coding\":\"image\"") == std::string::npos)
      continue;
    original += qvtest::JsonNumber(reply, "src");
    compressed += qvtest::JsonNumber(reply, "dst");
  }
  EXPECT_GT(original, 2 * compressed);
  const std::string today = qvtest::Today();
  EXPECT_EQ("1 allFlow:{original:" + std::to_string(original) +
                ",compressed:" + std::to_string(compressed) + "}",
            daemon.Ctl({"query", today, today, ""}).out);
  const long long link_down = StatusFigure(s, "linkDown");
  const long long link_up = StatusFigure(s, "linkUp");
  EXPECT_LT(link_down, down);

  // Written for a person, with the saving of the link against the applications.
  char saving[64];
  snprintf(
      saving, sizeof(saving), "saving        %.1f %%",
      100.0 * (1.0 - static_cast<double>(link_down + link_up) / static_cast<double>(down + up)));
  const qvtest::CtlResult readable = daemon.Ctl({"status"});
  EXPECT_EQ(0, readable.exit_code);
  EXPECT_NE(std::string::npos, readable.out.find(saving)) << readable.out;
  EXPECT_NE(std::string::npos, readable.out.find("proxy         running, listening on 127.0.0.1:" +
                                                 std::to_string(port) + ", image level 3"))
      << readable.out;

  // The gateway's socket counted the same bytes the other way round, once it ends.
  gateway.Stop();
  std::string close_event;
  for (const std::string& e : gateway.Events("close"))
    close_event = e;
  ASSERT_FALSE(close_event.empty());
  EXPECT_EQ(link_down, qvtest::JsonNumber(close_event, "written")) << close_event;
  EXPECT_EQ(link_up, qvtest::JsonNumber(close_event, "read")) << close_event;
  std::string after;
  EXPECT_TRUE(qvtest::WaitUntil(
      [&]() {
        after = daemon.Ctl({"--raw", "status"}).out;
        return after.find(",gateway:down,") != std::string::npos;
      },
      10))
      << after;
  EXPECT_GE(StatusFigure(after, "linkUp"), link_up);
}

}  // namespace
