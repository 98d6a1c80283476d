// Bad downloads of the configuration file, from tests/catalogue/data/downloaded_configs.cases:
// each reply of a loopback configuration server gets its outcome, its log lines, and leaves the
// daemon's file exactly as it was unless the download is a usable configuration.
// 32-bit builds: without the large-file interface stat fails on 64-bit inode numbers.
#define _FILE_OFFSET_BITS 64

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/catalogue_helper.h"
#include "control/config_updater.h"
#include "control/http_fetch.h"
#include "core/proxy_config.h"
#include "daemon/control/config_server_helper.h"

namespace {

const char kUrlPath[] = "/tc/pelmar02/http2quorvin.conf";
const char kOldConfig[] =
    "[http2quorvin]\nDISABLE_NAGLE=0\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=8123\n"
    "QUORVIN_GATE_IP=old.gate\nQUORVIN_GATE_PORT=443\n";
const char kNewConfig[] =
    "[http2quorvin]\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=8124\nQUORVIN_GATE_IP=new.gate\n"
    "QUORVIN_GATE_PORT=8443\n";

const std::map<std::string, UpdateConfigOutcome::Result> kResults = {
    {"updated", UpdateConfigOutcome::kUpdated},
    {"fetch_failed", UpdateConfigOutcome::kFetchFailed},
    {"rejected", UpdateConfigOutcome::kRejected},
    {"write_failed", UpdateConfigOutcome::kWriteFailed},
};
const std::map<std::string, ConfigUpdater::BeginResult> kBegins = {
    {"started", ConfigUpdater::kStarted},
    {"busy", ConfigUpdater::kBusy},
    {"no_server", ConfigUpdater::kNoServer},
    {"bad_server", ConfigUpdater::kBadServer},
};

class DownloadedConfigs : public testing::TestWithParam<CatalogueCase> {
 protected:
  void SetUp() override {
    GetProxyConfig()->log_level_ = 1;
    http_set_read_timeout(1);
    char dir[] = "/tmp/qv_catalogue_dl_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    path_ = dir_ + "/http2quorvin.conf";
    std::ofstream(path_, std::ios::binary) << kOldConfig;
  }
  void TearDown() override {
    http_set_read_timeout(30);
    unlink(path_.c_str());
    EXPECT_EQ(0, rmdir(dir_.c_str())) << "a file left behind in " << dir_;
  }
  std::string dir_;
  std::string path_;
};

TEST_P(DownloadedConfigs, OutcomeAsCatalogued) {
  const CatalogueCase& c = GetParam();
  ASSERT_FALSE(c.Has("error")) << c.Get("error");
  CannedHttpServer servers[2];
  const std::string port2 = std::to_string(servers[1].port());
  for (int i = 0; i < 2; ++i) {
    for (const std::string& spec : c.GetAll(i == 0 ? "reply" : "reply2")) {
      // "reply: [PATH] EXPR": the first server answers the configuration path unless one is given.
      std::string path = i == 0 ? kUrlPath : "/";
      std::string expr = spec;
      if (!spec.empty() && spec[0] == '/') {
        path = spec.substr(0, spec.find(' '));
        expr = spec.substr(path.size());
      }
      std::string raw, error;
      ASSERT_TRUE(BuildBytes(expr, &raw, &error)) << error;
      Replace(&raw, "{CONFIG}", kNewConfig);
      Replace(&raw, "{CONFIG_LEN}", std::to_string(strlen(kNewConfig)));
      Replace(&raw, "{P2}", port2);
      servers[i].Set(path, {raw, c.Get("hold") == "yes"});
    }
  }
  std::string server = c.Has("server") ? Unescape(c.Get("server")) : servers[0].address();
  if (server == "none")
    server.clear();
  struct stat before;
  ASSERT_EQ(0, stat(path_.c_str(), &before));

  OutcomeRecorder recorder;
  StderrCapture capture;
  {
    ConfigUpdater updater(path_, &recorder);
    EXPECT_EQ(kBegins.at(c.Get("begin", "started")), updater.Begin(server));
    updater.Wait();
  }
  for (CannedHttpServer& s : servers)
    s.Release();
  const std::string log = capture.Text();

  const std::string result = c.Get("result", "none");
  if (result == "none") {
    EXPECT_TRUE(recorder.outcomes.empty());
  } else {
    ASSERT_EQ(1u, recorder.outcomes.size()) << log;
    const UpdateConfigOutcome& out = recorder.outcomes[0];
    EXPECT_EQ(kResults.at(result), out.result) << out.detail;
    if (c.Has("detail")) {
      std::string detail = Unescape(c.Get("detail"));
      Replace(&detail, "{CONFIG_LEN}", std::to_string(strlen(kNewConfig)));
      EXPECT_EQ(detail, out.detail);
    }
  }
  if (c.Has("requests")) {
    EXPECT_EQ(static_cast<size_t>(atoi(c.Get("requests").c_str())), servers[0].requests().size());
  }

  struct stat after;
  ASSERT_EQ(0, stat(path_.c_str(), &after));
  if (result == "updated") {
    EXPECT_EQ(kNewConfig, ReadWholeFile(path_));
    EXPECT_NE(before.st_ino, after.st_ino);
  } else {
    // Byte for byte the old file, and the very same file.
    EXPECT_EQ(kOldConfig, ReadWholeFile(path_));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtime, after.st_mtime);
  }

  const std::vector<std::string> expected = c.GetAll("warn");
  ASSERT_FALSE(expected.empty()) << "every bad download is logged: a case names its WARN lines";
  std::string missing;
  EXPECT_TRUE(ContainsInOrder(WarnLines(log), expected, &missing))
      << "no WARN \"" << missing << "\" in\n"
      << log;
  for (const std::string& line : c.GetAll("stderr"))
    EXPECT_NE(std::string::npos, log.find(Unescape(line) + "\n")) << line << " not in\n" << log;
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, DownloadedConfigs,
    testing::ValuesIn(ReadCatalogue(QV_CATALOGUE_DIR "/downloaded_configs.cases")),
    [](const testing::TestParamInfo<CatalogueCase>& info) { return info.param.name; });

}  // namespace
