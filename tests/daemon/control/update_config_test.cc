// Configuration downloads end to end: ConfigUpdater, UpdateConfigThread and http_fetch against
// loopback HTTP servers, replacing a configuration file in a temporary folder.
// 32-bit builds: without the large-file interface stat and readdir fail on 64-bit inode
// numbers and directory offsets.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "control/config_updater.h"
#include "control/http_fetch.h"
#include "control/update_config_thread.h"
#include "core/proxy_config.h"
#include "daemon/control/config_server_helper.h"

namespace {

const char kUrlPath[] = "/tc/pelmar02/http2quorvin.conf";
const char kOldConfig[] =
    "[http2quorvin]\nDISABLE_NAGLE=0\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=8123\n"
    "QUORVIN_GATE_IP=old.gate\nQUORVIN_GATE_PORT=443\n";
const char kNewConfig[] =
    "; downloaded\n[http2quorvin]\nDISABLE_NAGLE=1\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=8124\n"
    "QUORVIN_GATE_IP=new.gate\nQUORVIN_GATE_PORT=8443\nLOG_LEVEL=2\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Replace(std::string* text, const std::string& from, const std::string& to) {
  for (size_t pos; (pos = text->find(from)) != std::string::npos;)
    text->replace(pos, from.size(), to);
}

std::string Ok(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.0 200 OK\r\nServer: canned\r\n" + extra + "\r\n" + body;
}

std::string WithLength(const std::string& body) {
  return Ok(body, "Content-length:" + std::to_string(body.size()) + "\r\n");
}

class Recorder : public UpdateConfigListener {
 public:
  void OnUpdateConfigDone(const UpdateConfigOutcome& outcome) override {
    std::lock_guard<std::mutex> lock(mutex);
    outcomes.push_back(outcome);
  }
  std::mutex mutex;
  std::vector<UpdateConfigOutcome> outcomes;
};

class UpdateConfigTest : public testing::Test {
 protected:
  void SetUp() override {
    GetProxyConfig()->log_level_ = 2;
    http_set_read_timeout(1);
    char dir[] = "/tmp/qv_update_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    path_ = dir_ + "/http2quorvin.conf";
    std::ofstream(path_, std::ios::binary) << kOldConfig;
    chmod(path_.c_str(), 0640);
  }
  void TearDown() override {
    http_set_read_timeout(30);
    EXPECT_EQ(std::vector<std::string>{"http2quorvin.conf"}, Entries()) << "left behind";
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    for (dirent* e; d != nullptr && (e = readdir(d)) != nullptr;) {
      if (e->d_name[0] != '.')
        names.push_back(e->d_name);
    }
    if (d != nullptr)
      closedir(d);
    return names;
  }

  ino_t Inode() {
    struct stat st;
    return stat(path_.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  // One download through the updater; returns its only outcome and the captured log.
  UpdateConfigOutcome Download(const std::string& server, std::string* log) {
    Recorder recorder;
    testing::internal::CaptureStderr();
    {
      ConfigUpdater updater(path_, &recorder);
      EXPECT_EQ(ConfigUpdater::kStarted, updater.Begin(server));
    }
    *log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, recorder.outcomes.size());
    return recorder.outcomes.empty() ? UpdateConfigOutcome() : recorder.outcomes[0];
  }

  std::string Warn(const std::string& text) {
    return "W/update_config_thread(" + std::to_string(getpid()) + "): " + text + "\n";
  }

  std::string dir_;
  std::string path_;
};

struct Route {
  int server;  // 0 or 1
  const char* path;
  std::string raw;  // "{P1}" stands for the second server's port
  bool hold;
};

struct Case {
  const char* name;
  std::vector<Route> routes;
  UpdateConfigOutcome::Result result;
  std::string detail;     // the outcome's detail (for a failed fetch also the http_perror line)
  std::string installed;  // the file afterwards, when replaced
  size_t requests;        // requests the first server received
};

TEST_F(UpdateConfigTest, DownloadOutcomes) {
  const std::string cfg = kNewConfig;
  const std::string nul = cfg.substr(0, 20) + std::string(1, '\0') + cfg.substr(20);
  const UpdateConfigOutcome::Result kUpdated = UpdateConfigOutcome::kUpdated;
  const UpdateConfigOutcome::Result kFetch = UpdateConfigOutcome::kFetchFailed;
  const UpdateConfigOutcome::Result kRejected = UpdateConfigOutcome::kRejected;
  const Case cases[] = {
      {"length without a blank", {{0, kUrlPath, WithLength(cfg), false}}, kUpdated, "", cfg, 1},
      {"read until close", {{0, kUrlPath, Ok(cfg), false}}, kUpdated, "", cfg, 1},
      {"bytes past the length are not body",
       {{0, kUrlPath, WithLength(cfg) + "TRAILING GARBAGE", false}},
       kUpdated,
       "",
       cfg,
       1},
      {"redirects across ports, relative, any case",
       {{0, kUrlPath,
         "HTTP/1.0 301 Moved\r\nContent-Location: /wrong\r\nlocation: "
         "http://127.0.0.1:{P1}/b\r\n\r\n",
         false},
        {1, "/b", "HTTP/1.1 307 Temporary\r\nLOCATION:   /c\r\n\r\n", false},
        {1, "/c", WithLength(cfg), false}},
       kUpdated,
       "",
       cfg,
       1},
      {"404",
       {{0, kUrlPath, "HTTP/1.0 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", false}},
       kFetch,
       "Request returned a status code of 404",
       "",
       1},
      {"302 without Location",
       {{0, kUrlPath, "HTTP/1.0 302 Found\r\nContent-Location: /x\r\n\r\n", false}},
       kFetch,
       "Status code of 302 but no Location: field",
       "",
       1},
      {"redirect loop",
       {{0, kUrlPath, std::string("HTTP/1.0 302 Found\r\nLocation: ") + kUrlPath + "\r\n\r\n",
         false}},
       kFetch,
       "Followed the maximum number of redirects (3)",
       "",
       4},
      {"never answers",
       {{0, kUrlPath, "", true}},
       kFetch,
       "Timed out, no metadata for 1 seconds",
       "",
       1},
      {"stalls in the body",
       {{0, kUrlPath, Ok("[http2quorvin]\n", "Content-Length: 100\r\n"), true}},
       kFetch,
       "Timed out, no data for 1 seconds",
       "",
       1},
      {"truncated body",
       {{0, kUrlPath, Ok("[http2quorvin]\n", "Content-Length: 500\r\n"), false}},
       kFetch,
       "Body ended after 15 bytes, short of its Content-Length",
       "",
       1},
      {"closed inside the head",
       {{0, kUrlPath, "HTTP/1.0 200 OK\r\nContent-", false}},
       kFetch,
       "http_fetch: Connection closed inside the response head",
       "",
       1},
      {"negative length",
       {{0, kUrlPath, Ok(cfg, "Content-Length: -5\r\n"), false}},
       kFetch,
       "http_fetch: Couldn't convert Content-Length to integer",
       "",
       1},
      {"absurd length",
       {{0, kUrlPath, Ok(cfg, "Content-Length: 99999999999999999999\r\n"), false}},
       kFetch,
       "Body longer than 1048576 bytes",
       "",
       1},
      {"not HTTP",
       {{0, kUrlPath, "SSH-2.0-OpenSSH\r\n\r\n", false}},
       kFetch,
       "http_fetch: Couldn't find return code in HTTP response",
       "",
       1},
      {"head longer than its limit",
       {{0, kUrlPath, Ok(cfg, "X-Pad: " + std::string(9000, 'p') + "\r\n"), false}},
       kFetch,
       "Response head longer than 8192 bytes",
       "",
       1},
      {"empty body", {{0, kUrlPath, WithLength(""), false}}, kRejected, "empty body", "", 1},
      {"not a configuration",
       {{0, kUrlPath, Ok("<html><body>It works!</body></html>\n"), false}},
       kRejected,
       "not a configuration, no LISTEN_IP, LISTEN_PORT, QUORVIN_GATE_IP, QUORVIN_GATE_PORT",
       "",
       1},
      {"gateway port missing",
       {{0, kUrlPath,
         Ok("[http2quorvin]\nDISABLE_NAGLE=0\nLISTEN_IP=1.2.3.4\nLISTEN_PORT=1\n"
            "QUORVIN_GATE_IP=g\n"),
         false}},
       kRejected,
       "not a configuration, no QUORVIN_GATE_PORT",
       "",
       1},
      {"NUL byte",
       {{0, kUrlPath, WithLength(nul), false}},
       kRejected,
       "NUL byte at offset 20",
       "",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CannedHttpServer servers[2];
    for (const Route& r : c.routes) {
      std::string raw = r.raw;
      Replace(&raw, "{P1}", std::to_string(servers[1].port()));
      servers[r.server].Set(r.path, {raw, r.hold});
    }
    const ino_t before = Inode();
    std::string log;
    UpdateConfigOutcome out = Download(servers[0].address(), &log);
    servers[0].Release();

    EXPECT_EQ(c.result, out.result);
    EXPECT_EQ(c.detail, out.detail);
    EXPECT_EQ(path_, out.path);
    EXPECT_EQ("http://" + servers[0].address() + kUrlPath, out.url);
    EXPECT_EQ(c.requests, servers[0].requests().size());
    if (c.result == kUpdated) {
      EXPECT_EQ(c.installed, ReadFile(path_));
      EXPECT_NE(before, Inode());  // a new file renamed into place, never rewritten in place
      struct stat st;
      ASSERT_EQ(0, stat(path_.c_str(), &st));
      EXPECT_EQ(0640u, st.st_mode & 0777);
      EXPECT_NE(std::string::npos,
                log.find("Page successfully downloaded. (" + out.url + ") \n" + cfg));
      std::ofstream(path_, std::ios::binary) << kOldConfig;
      chmod(path_.c_str(), 0640);
    } else {
      EXPECT_EQ(kOldConfig, ReadFile(path_));
      EXPECT_EQ(before, Inode());
    }
    if (c.result == kFetch) {
      EXPECT_NE(std::string::npos, log.find(c.detail + "\n" + Warn("http_perror"))) << log;
    }
    if (c.result == kRejected) {
      EXPECT_NE(std::string::npos, log.find(Warn("config rejected: " + c.detail))) << log;
    }
  }
}

TEST_F(UpdateConfigTest, SendsTheRequestAndUsesTheDefaultPort) {
  EXPECT_EQ("http://cfg.example:8091/tc/pelmar02/http2quorvin.conf",
            UpdateConfigThread::ConfigUrl("cfg.example"));
  EXPECT_EQ("http://10.1.2.3:80/tc/pelmar02/http2quorvin.conf",
            UpdateConfigThread::ConfigUrl("10.1.2.3:80"));
  CannedHttpServer server;
  server.Set(kUrlPath, {WithLength(kNewConfig), false});
  UpdateConfigThread thread(server.address(), path_, nullptr);
  EXPECT_EQ("UpdateConfigThread", thread.name());
  ASSERT_TRUE(thread.Start());
  thread.Join();
  EXPECT_EQ(UpdateConfigOutcome::kUpdated, thread.outcome().result);
  ASSERT_EQ(1u, server.requests().size());
  EXPECT_EQ(std::string("GET ") + kUrlPath + " HTTP/1.0\r\nHost: " + server.address() +
                "\r\nUser-Agent: QuorvinConfig/1.1.0\r\nConnection: Close\r\n\r\n",
            server.requests()[0]);
}

TEST_F(UpdateConfigTest, ClientFailuresBeforeAnyResponse) {
  int free_port;
  {
    CannedHttpServer gone;
    free_port = gone.port();
  }
  const struct {
    const char* url;
    std::string text;
  } cases[] = {
      {nullptr, "http_fetch: Got NULL url"},
      {"http:///no/host", "http_fetch: Unknown host"},
      {"http://127.0.0.1:99999/", "http_fetch: Invalid argument"},
      {"http://127.0.0.1:8x/", "http_fetch: Invalid argument"},
  };
  for (const auto& c : cases) {
    char* body = reinterpret_cast<char*>(this);
    EXPECT_EQ(-1, http_fetch(c.url, &body));
    EXPECT_EQ(reinterpret_cast<char*>(this), body);
    EXPECT_EQ(c.text, http_strerror("http_fetch"));
    testing::internal::CaptureStderr();
    http_perror("http_fetch");
    EXPECT_EQ(c.text + "\n", testing::internal::GetCapturedStderr());
  }
  const std::string refused = "http://127.0.0.1:" + std::to_string(free_port) + "/";
  EXPECT_EQ(-1, http_fetch(refused.c_str(), nullptr));
  EXPECT_EQ("http_fetch: Connection refused", http_strerror("http_fetch"));
}

TEST_F(UpdateConfigTest, OneDownloadAtATime) {
  CannedHttpServer server;
  server.Set(kUrlPath, {"", true});
  Recorder recorder;
  ConfigUpdater updater(path_, &recorder);
  testing::internal::CaptureStderr();
  ASSERT_EQ(ConfigUpdater::kStarted, updater.Begin(server.address()));
  ASSERT_TRUE(server.WaitForRequests(1));
  EXPECT_TRUE(updater.busy());
  EXPECT_EQ(ConfigUpdater::kBusy, updater.Begin(server.address()));
  server.Set(kUrlPath, {WithLength(kNewConfig), false});
  server.Release();  // the held request ends without a response
  updater.Wait();
  EXPECT_FALSE(updater.busy());

  // Without a word the server comes from the environment.
  setenv("HTTP2QUORVIN_CONFIG_SERVER", server.address().c_str(), 1);
  EXPECT_EQ(ConfigUpdater::kStarted, updater.Begin(""));
  updater.Wait();
  unsetenv("HTTP2QUORVIN_CONFIG_SERVER");
  EXPECT_EQ(ConfigUpdater::kNoServer, updater.Begin(""));
  for (const char* word : {"host/x", "a b", "h:0", "h:70000", "h:", ":80", "-h", "h:8a", "h:1:2"})
    EXPECT_EQ(ConfigUpdater::kBadServer, updater.Begin(word)) << word;
  const std::string log = testing::internal::GetCapturedStderr();

  ASSERT_EQ(2u, recorder.outcomes.size());
  EXPECT_EQ(UpdateConfigOutcome::kFetchFailed, recorder.outcomes[0].result);
  EXPECT_EQ("http_fetch: Connection closed inside the response head", recorder.outcomes[0].detail);
  EXPECT_EQ(UpdateConfigOutcome::kUpdated, recorder.outcomes[1].result);
  EXPECT_EQ(kNewConfig, ReadFile(path_));
  EXPECT_NE(std::string::npos, log.find(Warn("updateconfig: a download is already running")));
  EXPECT_NE(std::string::npos, log.find(Warn("updateconfig: no configuration server given and "
                                             "HTTP2QUORVIN_CONFIG_SERVER is not set")));
  EXPECT_NE(std::string::npos,
            log.find(Warn("updateconfig: bad configuration server \"a b\" (host or host:port)")));
  EXPECT_TRUE(ConfigUpdater::ValidServer("a.b-c_d:65535"));
}

// Python's http.server as the configuration server: a file, a missing file, and a folder in its
// place (a relative redirect to a directory listing). The target is reached through a link.
TEST_F(UpdateConfigTest, AgainstPythonHttpServer) {
  char root_template[] = "/tmp/qv_update_root_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(root_template));
  const std::string root = root_template;
  const std::string served = root + kUrlPath;
  ASSERT_EQ(0, mkdir((root + "/tc").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/tc/pelmar02").c_str(), 0755));
  std::ofstream(served, std::ios::binary) << kNewConfig;
  const std::string real = root + "/real.conf";
  std::ofstream(real, std::ios::binary) << kOldConfig;
  unlink(path_.c_str());
  ASSERT_EQ(0, symlink(real.c_str(), path_.c_str()));

  PythonHttpServer python(root);
  ASSERT_NE(0, python.port());
  const std::string server = "127.0.0.1:" + std::to_string(python.port());
  std::string log;

  UpdateConfigOutcome out = Download(server, &log);
  EXPECT_EQ(UpdateConfigOutcome::kUpdated, out.result) << out.detail;
  EXPECT_EQ(kNewConfig, ReadFile(real));
  struct stat st;
  ASSERT_EQ(0, lstat(path_.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));

  std::ofstream(real, std::ios::binary) << kOldConfig;
  unlink(served.c_str());
  out = Download(server, &log);
  EXPECT_EQ("Request returned a status code of 404", out.detail);

  ASSERT_EQ(0, mkdir(served.c_str(), 0755));
  out = Download(server, &log);
  EXPECT_EQ(UpdateConfigOutcome::kRejected, out.result);
  EXPECT_EQ(0u, out.detail.find("not a configuration, no LISTEN_IP")) << out.detail;
  EXPECT_EQ(kOldConfig, ReadFile(real));

  unlink(path_.c_str());
  std::ofstream(path_, std::ios::binary) << kOldConfig;
  rmdir(served.c_str());
  unlink(real.c_str());
  rmdir((root + "/tc/pelmar02").c_str());
  rmdir((root + "/tc").c_str());
  EXPECT_EQ(0, rmdir(root.c_str()));
}

}  // namespace
