// "updateconfig" through a real control socket: its replies to the asking client and the
// broadcast of each download's outcome to every client, against loopback HTTP servers.
#include "control/update_config_command.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "daemon/control/config_server_helper.h"
#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

const char kConfigPath[] = "/tc/pelmar02/http2quorvin.conf";
const std::string kShippedConfig = CompleteConfig(
    "[http2quorvin]\nDISABLE_NAGLE=0\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=8123\n"
    "QUORVIN_GATE_IP=old.gate\nQUORVIN_GATE_PORT=443\n");
const std::string kServedConfig = CompleteConfig(
    "[http2quorvin]\nDISABLE_NAGLE=0\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=8124\n"
    "QUORVIN_GATE_IP=new.gate\nQUORVIN_GATE_PORT=8443\n");

std::string OkReply(const std::string& body) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class UpdateConfigCommandTest : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("HTTP2QUORVIN_CONFIG_SERVER");
    ASSERT_EQ(0, mkdir(folder_.c_str(), 0755));
    std::ofstream(path_) << kShippedConfig;
    StartListener();
    asker_.reset(new qvtest::ControlClient(dir_.File("ctl")));
    watcher_.reset(new qvtest::ControlClient(dir_.File("ctl")));
    // Both clients are taken in by the listener before anything is broadcast.
    ASSERT_EQ("1 1:[echo]", asker_->Ask("echo"));
    ASSERT_EQ("1 1:[echo]", watcher_->Ask("echo"));
  }
  void TearDown() override { unsetenv("HTTP2QUORVIN_CONFIG_SERVER"); }

  void StartListener() {
    listener_.reset(new qvtest::TestListener("qvupdate"));
    listener_->Add(new UpdateConfigCommand(listener_.get(), nullptr, nullptr, path_));
    setenv("HTTP2QUORVIN_SOCKET", dir_.File("ctl").c_str(), 1);
    ASSERT_EQ(0, listener_->startListener());
    unsetenv("HTTP2QUORVIN_SOCKET");
  }

  qvtest::ScratchDir dir_;
  const std::string folder_ = dir_.File("etc");
  const std::string path_ = folder_ + "/http2quorvin.conf";
  std::unique_ptr<qvtest::TestListener> listener_;
  std::unique_ptr<qvtest::ControlClient> asker_;
  std::unique_ptr<qvtest::ControlClient> watcher_;
};

// Every outcome kind reaches both clients as a broadcast after the asker's started reply.
TEST_F(UpdateConfigCommandTest, StartedReplyThenTheOutcomeBroadcast) {
  const struct {
    const char* name;
    std::string raw;
    bool folder_gone;  // the configuration's folder is missing: the new file cannot be made
    std::string broadcast;
    std::string file;
  } cases[] = {
      {"updated", OkReply(kServedConfig), false, "600 config updated: http://{S}", kServedConfig},
      {"404", "HTTP/1.0 404 Not Found\r\n\r\n", false,
       "601 config download failed: Request returned a status code of 404", kShippedConfig},
      {"empty", OkReply(""), false, "602 config rejected: empty body", kShippedConfig},
      {"not a configuration", OkReply("<html></html>\n"), false,
       "602 config rejected: not a configuration, no DISABLE_NAGLE", kShippedConfig},
      {"unwritable", OkReply(kServedConfig), true, "603 config write failed: can't create " + path_,
       kShippedConfig},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path_, std::ios::trunc) << kShippedConfig;
    CannedHttpServer server;
    server.Set(kConfigPath, {c.raw, false});
    if (c.folder_gone) {
      ASSERT_EQ(0, rename(folder_.c_str(), (folder_ + ".away").c_str()));
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ("1 UpdateConfigStarted.", asker_->Ask("updateconfig " + server.address()));
    std::string expected = c.broadcast;
    const size_t mark = expected.find("{S}");
    if (mark != std::string::npos)
      expected.replace(mark, 3, server.address() + kConfigPath);
    std::string got = asker_->Recv();
    EXPECT_EQ(expected, got.substr(0, expected.size()));
    EXPECT_EQ(got, watcher_->Recv());
    const std::string log = testing::internal::GetCapturedStderr();
    if (c.folder_gone) {
      ASSERT_EQ(0, rename((folder_ + ".away").c_str(), folder_.c_str()));
    }
    EXPECT_EQ(c.file, ReadWholeFile(path_));
    const bool updated = c.file == kServedConfig;
    EXPECT_EQ(updated,
              log.find("W/control_message(" + std::to_string(getpid()) +
                       "): updateconfig: " + path_ + " replaced from http://" + server.address() +
                       kConfigPath + ", in effect at the next start") != std::string::npos)
        << log;
  }
}

TEST_F(UpdateConfigCommandTest, RefusalsGetTheirOwnReplyAndNoBroadcast) {
  CannedHttpServer server;
  server.Set(kConfigPath, {"", true});  // holds the first download open
  EXPECT_EQ("1 UpdateConfigStarted.", asker_->Ask("updateconfig " + server.address()));
  ASSERT_TRUE(server.WaitForRequests(1));
  const struct {
    const char* command;
    const char* reply;
  } refusals[] = {
      {"updateconfig 127.0.0.1:1", "501 UpdateConfigBusy: a download is already running."},
      {"updateconfig",
       "502 UpdateConfigNoServer: no server given and HTTP2QUORVIN_CONFIG_SERVER "
       "is not set."},
      {"updateconfig h/x", "503 UpdateConfigBadServer: \"h/x\" is not host or host:port."},
      {"updateconfig h:99999", "503 UpdateConfigBadServer: \"h:99999\" is not host or host:port."},
      {"updateconfig a b", "503 UpdateConfigBadServer: one word only, host or host:port."},
  };
  for (const auto& r : refusals)
    EXPECT_EQ(r.reply, watcher_->Ask(r.command)) << r.command;
  EXPECT_EQ(1u, server.requests().size());

  // The held download ends: its outcome is the first and only message the asker gets.
  server.Release();
  const std::string closed =
      "601 config download failed: http_fetch: Connection closed inside the response head";
  EXPECT_EQ(closed, asker_->Recv());
  EXPECT_EQ(closed, watcher_->Recv());
  EXPECT_EQ(kShippedConfig, ReadWholeFile(path_));

  // Without a word the server comes from the environment.
  CannedHttpServer second;
  second.Set(kConfigPath, {OkReply(kServedConfig), false});
  setenv("HTTP2QUORVIN_CONFIG_SERVER", second.address().c_str(), 1);
  EXPECT_EQ("1 UpdateConfigStarted.", asker_->Ask("updateconfig"));
  EXPECT_EQ("600 config updated: http://" + second.address() + kConfigPath, watcher_->Recv());
  EXPECT_EQ(kServedConfig, ReadWholeFile(path_));
}

// The daemon's end does not wait out a stalled server: the running download is cancelled.
TEST_F(UpdateConfigCommandTest, EndingTheListenerCancelsARunningDownload) {
  CannedHttpServer server;
  server.Set(kConfigPath, {"HTTP/1.0 200 OK\r\n", true});  // a head that never ends
  EXPECT_EQ("1 UpdateConfigStarted.", asker_->Ask("updateconfig " + server.address()));
  ASSERT_TRUE(server.WaitForRequests(1));
  testing::internal::CaptureStderr();
  listener_.reset();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, log.find("http_fetch: Download cancelled\n")) << log;
  EXPECT_EQ(kShippedConfig, ReadWholeFile(path_));

  // A later download is not cancelled.
  StartListener();
  qvtest::ControlClient client(dir_.File("ctl"));
  server.Set(kConfigPath, {OkReply(kServedConfig), false});
  server.Release();
  EXPECT_EQ("1 UpdateConfigStarted.", client.Ask("updateconfig " + server.address()));
  EXPECT_EQ("600 config updated: http://" + server.address() + kConfigPath, client.Recv());
}

}  // namespace
