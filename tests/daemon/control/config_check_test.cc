#include "control/config_check.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "core/proxy_config.h"
#include "daemon/control/config_server_helper.h"

namespace {

std::string SourceRoot() {
  const std::string file = __FILE__;
  return file.substr(0, file.rfind("/tests/daemon/control/"));
}

class ConfigCheckTest : public testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qv_check_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    current_ = dir_ + "/current.conf";
    candidate_ = dir_ + "/candidate.conf";
    Write(current_, CompleteConfig("[http2quorvin]\n"));
  }
  void TearDown() override {
    unlink(current_.c_str());
    unlink(candidate_.c_str());
    rmdir(dir_.c_str());
  }
  void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::trunc) << text;
  }
  std::string Check(const std::string& text) {
    Write(candidate_, text);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const std::string why = ConfigCheck::Check(candidate_.c_str(), current_.c_str());
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return why;
  }

  std::string dir_;
  std::string current_;
  std::string candidate_;
};

TEST_F(ConfigCheckTest, TheShippedFilePasses) {
  std::ifstream in(SourceRoot() + "/android/http2quorvin.conf");
  std::stringstream text;
  text << in.rdbuf();
  ASSERT_FALSE(text.str().empty());
  EXPECT_EQ("", Check(text.str()));
}

TEST_F(ConfigCheckTest, NamesTheKeyThatIsMissingOrWrong) {
  // Each key left out is named, whichever it is: loading stops there and every key after it
  // would keep its default whatever the file says.
  const std::string full = CompleteConfig("[http2quorvin]\n");
  for (size_t i = 0; i < ProxyConfig::KeyCount(); ++i) {
    const std::string key = ProxyConfig::KeyName(i);
    const size_t at = full.find("\n" + key + "=");
    ASSERT_NE(std::string::npos, at) << key;
    const std::string without = full.substr(0, at + 1) + full.substr(full.find('\n', at + 1) + 1);
    EXPECT_EQ("not a configuration, no " + key, Check(without));
  }
  const struct {
    const char* line;
    const char* why;
  } kCases[] = {
      {"DISABLE_NAGLE=2", "DISABLE_NAGLE 2 is not 0 or 1"},
      {"DISABLE_NAGLE=-1", "not a configuration, no DISABLE_NAGLE"},
      {"LISTEN_IP=localhost", "LISTEN_IP localhost is not a numeric IPv4 address"},
      {"LISTEN_PORT=70000", "LISTEN_PORT 70000 is out of range (0 to 65535)"},
      {"LISTEN_PORT=-2", "LISTEN_PORT -2 is out of range (0 to 65535)"},
      {"LISTEN_PORT=80x", "LISTEN_PORT 80x is not a number"},
      {"QUORVIN_GATE_IP=gate/evil", "QUORVIN_GATE_IP gate/evil is not a host name or address"},
      {"QUORVIN_GATE_PORT=0", "QUORVIN_GATE_PORT 0 is out of range (1 to 65535)"},
      {"LOG_LEVEL=3", "LOG_LEVEL 3 is out of range (0 to 2)"},
      {"MAX_EPOLL_FD_SIZE=2", "MAX_EPOLL_FD_SIZE 2 is out of range (16 to 65536)"},
      {"KEEP_ALIVE_TIME=40000", "KEEP_ALIVE_TIME 40000 is out of range (1 to 32767)"},
      {"IMG_LEVEL=9", "IMG_LEVEL 9 is out of range (0 to 3)"},
      {"IMG_TAG=x img", "IMG_TAG x img is not a header name"},
      {"MAX_FRONTEND_TIME=0", "MAX_FRONTEND_TIME 0 is out of range (1 to 86400)"},
  };
  for (const auto& c : kCases)
    EXPECT_EQ(c.why, Check(CompleteConfig(std::string("[http2quorvin]\n") + c.line + "\n")))
        << c.line;
}

TEST_F(ConfigCheckTest, NoDownloadMovesTheProxyOffLoopback) {
  const std::string wide = CompleteConfig("[http2quorvin]\nLISTEN_IP=0.0.0.0\n");
  EXPECT_EQ(
      "LISTEN_IP 0.0.0.0 is not a loopback address (now 127.0.0.1): a download may not open the "
      "proxy to the network",
      Check(wide));
  EXPECT_EQ("", Check(CompleteConfig("[http2quorvin]\nLISTEN_IP=127.0.0.2\n")));
  // A file in place that cannot be read counts as loopback.
  unlink(current_.c_str());
  EXPECT_NE("", Check(wide));
  // Whoever built the image chose an address beyond loopback: a download may keep one.
  Write(current_, CompleteConfig("[http2quorvin]\nLISTEN_IP=10.0.0.5\n"));
  EXPECT_EQ("", Check(CompleteConfig("[http2quorvin]\nLISTEN_IP=10.0.0.6\n")));
}

}  // namespace
