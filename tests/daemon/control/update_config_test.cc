// Configuration downloads end to end: ConfigUpdater, UpdateConfigThread and http_fetch against
// loopback HTTP servers, replacing a configuration file in a temporary folder.

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
const std::string kOldConfig = CompleteConfig(
    "[http2quorvin]\nDISABLE_NAGLE=0\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=8123\n"
    "QUORVIN_GATE_IP=old.gate\nQUORVIN_GATE_PORT=443\n");
const std::string kNewConfig = CompleteConfig(
    "; downloaded\n[http2quorvin]\nDISABLE_NAGLE=1\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=8124\n"
    "QUORVIN_GATE_IP=new.gate\nQUORVIN_GATE_PORT=8443\nLOG_LEVEL=2\n");

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

ino_t Inode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string Ok(const std::string& body, const std::string& extra = "") {
  return "HTTP/1.0 200 OK\r\nServer: canned\r\n" + extra + "\r\n" + body;
}

// The Content-Length line as few clients expect it: no blank, lower-case 'l'.
std::string WithLength(const std::string& body) {
  return Ok(body, "Content-length:" + std::to_string(body.size()) + "\r\n");
}

std::string Warn(const std::string& text) {
  return "W/update_config_thread(" + std::to_string(getpid()) + "): " + text + "\n";
}

class UpdateConfigTest : public testing::Test {
 protected:
  void SetUp() override {
    GetProxyConfig()->log_level_ = 2;
    EXPECT_EQ(30, http_read_timeout());
    http_set_read_timeout(1);
    char dir[] = "/tmp/qv_update_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    path_ = dir_ + "/http2quorvin.conf";
    WriteFile(path_, kOldConfig);
    chmod(path_.c_str(), 0640);
  }
  void TearDown() override {
    http_set_read_timeout(30);
    std::vector<std::string> names;
    DIR* d = opendir(dir_.c_str());
    for (dirent* e; d != nullptr && (e = readdir(d)) != nullptr;)
      names.push_back(e->d_name);
    if (d != nullptr)
      closedir(d);
    EXPECT_EQ(3u, names.size()) << "a temporary file left behind";
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  // One download through the updater; returns its only outcome and the captured log.
  UpdateConfigOutcome Download(const std::string& server, std::string* log) {
    OutcomeRecorder recorder;
    testing::internal::CaptureStderr();
    {
      ConfigUpdater updater(path_, &recorder);
      EXPECT_EQ(ConfigUpdater::kStarted, updater.Begin(server));
    }
    *log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, recorder.outcomes.size());
    return recorder.outcomes.empty() ? UpdateConfigOutcome() : recorder.outcomes[0];
  }

  std::string dir_;
  std::string path_;
};

struct Case {
  const char* name;
  std::string raw;  // the first server's reply; "{P1}" stands for the second server's port
  bool hold;        // the first server keeps the connection open after its reply
  UpdateConfigOutcome::Result result;
  std::string detail;  // the outcome's detail; for a failed fetch also the http_perror line
  size_t requests;     // requests the first server receives
};

TEST_F(UpdateConfigTest, DownloadOutcomes) {
  const std::string cfg = kNewConfig;
  const std::string nul = cfg.substr(0, 20) + std::string(1, '\0') + cfg.substr(20);
  const std::string redirect =
      std::string("HTTP/1.0 302 Found\r\nLocation: ") + kUrlPath + "\r\n\r\n";
  const auto kUpdated = UpdateConfigOutcome::kUpdated;
  const auto kFetch = UpdateConfigOutcome::kFetchFailed;
  const auto kRejected = UpdateConfigOutcome::kRejected;
  const Case cases[] = {
      {"length without a blank", WithLength(cfg), false, kUpdated, "", 1},
      {"read until close", Ok(cfg), false, kUpdated, "", 1},
      {"bytes past the length", WithLength(cfg) + "TRAILING", false, kUpdated, "", 1},
      {"redirects across ports",
       "HTTP/1.0 301 Moved\r\nContent-Location: /x\r\nlocation: http://127.0.0.1:{P1}/b\r\n\r\n",
       false, kUpdated, "", 1},
      {"404", "HTTP/1.0 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", false, kFetch,
       "Request returned a status code of 404", 1},
      {"302 without Location", "HTTP/1.0 302 Found\r\nContent-Location: /x\r\n\r\n", false, kFetch,
       "Status code of 302 but no Location: field", 1},
      {"redirect loop", redirect, false, kFetch, "Followed the maximum number of redirects (3)", 4},
      {"never answers", "", true, kFetch, "Timed out, no metadata for 1 seconds", 1},
      {"stalls in the body", Ok("[http2quorvin]\n", "Content-Length: 100\r\n"), true, kFetch,
       "Timed out, no data for 1 seconds", 1},
      {"truncated body", Ok("[http2quorvin]\n", "Content-Length: 500\r\n"), false, kFetch,
       "Body ended after 15 bytes, short of its Content-Length", 1},
      {"closed inside the head", "HTTP/1.0 200 OK\r\nContent-", false, kFetch,
       "http_fetch: Connection closed inside the response head", 1},
      {"negative length", Ok(cfg, "Content-Length: -5\r\n"), false, kFetch,
       "http_fetch: Couldn't convert Content-Length to integer", 1},
      {"absurd length", Ok(cfg, "Content-Length: 99999999999999999999\r\n"), false, kFetch,
       "Body longer than 1048576 bytes", 1},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, kFetch,
       "http_fetch: Couldn't find return code in HTTP response", 1},
      {"head too long", Ok(cfg, "X-Pad: " + std::string(9000, 'p') + "\r\n"), false, kFetch,
       "Response head longer than 8192 bytes", 1},
      {"empty body", WithLength(""), false, kRejected, "empty body", 1},
      {"not a configuration", Ok("<html><body>It works!</body></html>\n"), false, kRejected,
       "not a configuration, no DISABLE_NAGLE", 1},
      {"gateway port missing",
       Ok("[http2quorvin]\nDISABLE_NAGLE=0\nLISTEN_IP=127.0.0.2\nLISTEN_PORT=1\nQUORVIN_GATE_IP="
          "g\n"),
       false, kRejected, "not a configuration, no QUORVIN_GATE_PORT", 1},
      {"a later key missing", Ok(cfg.substr(0, cfg.find("PING_TIMEOUT"))), false, kRejected,
       "not a configuration, no PING_TIMEOUT", 1},
      {"listening beyond loopback", Ok(CompleteConfig("[http2quorvin]\nLISTEN_IP=0.0.0.0\n")),
       false, kRejected,
       "LISTEN_IP 0.0.0.0 is not a loopback address (now 127.0.0.1): a download may not open the "
       "proxy to the network",
       1},
      {"port out of range", Ok(CompleteConfig("[http2quorvin]\nLISTEN_PORT=70000\n")), false,
       kRejected, "LISTEN_PORT 70000 is out of range (0 to 65535)", 1},
      {"redirect to https", "HTTP/1.0 302 Found\r\nLocation: https://127.0.0.1:{P1}/b\r\n\r\n",
       false, kFetch, "http_fetch: Redirect to a scheme other than http refused", 1},
      {"redirect to another host",
       "HTTP/1.0 302 Found\r\nLocation: http://localhost:{P1}/b\r\n\r\n", false, kFetch,
       "http_fetch: Redirect to another host refused", 1},
      {"NUL byte", WithLength(nul), false, kRejected, "NUL byte at offset 20", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CannedHttpServer servers[2];
    std::string raw = c.raw;
    const size_t mark = raw.find("{P1}");
    if (mark != std::string::npos)
      raw.replace(mark, 4, std::to_string(servers[1].port()));
    servers[0].Set(kUrlPath, {raw, c.hold});
    servers[1].Set("/b", {"HTTP/1.1 307 Temporary\r\nLOCATION:   /c\r\n\r\n", false});
    servers[1].Set("/c", {WithLength(cfg), false});
    const ino_t before = Inode(path_);
    std::string log;
    UpdateConfigOutcome out = Download(servers[0].address(), &log);
    servers[0].Release();

    EXPECT_EQ(c.result, out.result);
    EXPECT_EQ(c.detail, out.detail);
    EXPECT_EQ(path_, out.path);
    EXPECT_EQ("http://" + servers[0].address() + kUrlPath, out.url);
    EXPECT_EQ(c.requests, servers[0].requests().size());
    if (c.result == kUpdated) {
      EXPECT_EQ(cfg, ReadWholeFile(path_));
      EXPECT_NE(before, Inode(path_));  // a new file renamed into place, never rewritten
      struct stat st;
      ASSERT_EQ(0, stat(path_.c_str(), &st));
      EXPECT_EQ(0640u, st.st_mode & 0777);
      // Each line of the body is a log line of its own, with the tag.
      std::string shown = "Page successfully downloaded. (" + out.url + ") ";
      for (size_t at = 0, nl; (nl = cfg.find('\n', at)) != std::string::npos; at = nl + 1)
        shown += "\nD/update_config_thread(" + std::to_string(getpid()) +
                 "): " + cfg.substr(at, nl - at);
      EXPECT_NE(std::string::npos, log.find(shown + "\n")) << log;
      WriteFile(path_, kOldConfig);
    } else {
      EXPECT_EQ(kOldConfig, ReadWholeFile(path_));
      EXPECT_EQ(before, Inode(path_));
    }
    if (c.result == kFetch) {
      EXPECT_NE(std::string::npos, log.find(c.detail + "\n" + Warn("http_perror"))) << log;
    }
    if (c.result == kRejected) {
      EXPECT_NE(std::string::npos, log.find(Warn("config rejected: " + c.detail))) << log;
    }
  }
}

// A set-id bit, or write and execute bits for others, on the file in place are not carried over.
TEST_F(UpdateConfigTest, TheNewFileIsNeverMoreThanReadableByAll) {
  ASSERT_EQ(0, chmod(path_.c_str(), 06777));
  CannedHttpServer server;
  server.Set(kUrlPath, {WithLength(kNewConfig), false});
  std::string log;
  EXPECT_EQ(UpdateConfigOutcome::kUpdated, Download(server.address(), &log).result);
  struct stat st;
  ASSERT_EQ(0, stat(path_.c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
}

// The request on the wire, the URL of a server word, and a target that is a link.
TEST_F(UpdateConfigTest, RequestUrlAndLinkedTarget) {
  EXPECT_EQ("http://cfg.example:8091/tc/pelmar02/http2quorvin.conf",
            UpdateConfigThread::ConfigUrl("cfg.example"));
  EXPECT_EQ("http://10.1.2.3:80/tc/pelmar02/http2quorvin.conf",
            UpdateConfigThread::ConfigUrl("10.1.2.3:80"));
  const std::string real = dir_ + "/real.conf";
  ASSERT_EQ(0, rename(path_.c_str(), real.c_str()));
  ASSERT_EQ(0, symlink("real.conf", path_.c_str()));

  CannedHttpServer server;
  server.Set(kUrlPath, {WithLength(kNewConfig), false});
  UpdateConfigThread thread(server.address(), path_, nullptr);
  EXPECT_EQ("UpdateConfigThread", thread.name());
  ASSERT_TRUE(thread.Start());
  thread.Join();
  // A link is not followed: whatever it names stays as it was.
  EXPECT_EQ(UpdateConfigOutcome::kWriteFailed, thread.outcome().result);
  EXPECT_EQ(path_ + " is a symbolic link", thread.outcome().detail);
  ASSERT_EQ(1u, server.requests().size());
  EXPECT_EQ(std::string("GET ") + kUrlPath + " HTTP/1.0\r\nHost: " + server.address() +
                "\r\nUser-Agent: QuorvinConfig/1.1.0\r\nConnection: Close\r\n\r\n",
            server.requests()[0]);
  struct stat st;
  ASSERT_EQ(0, lstat(path_.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(kOldConfig, ReadWholeFile(real));
  unlink(real.c_str());
}

TEST_F(UpdateConfigTest, ClientFailuresBeforeAnyResponse) {
  int free_port;
  {
    CannedHttpServer gone;
    free_port = gone.port();
  }
  const std::string refused = "http://127.0.0.1:" + std::to_string(free_port) + "/";
  const struct {
    const char* url;
    std::string text;
  } cases[] = {
      {nullptr, "http_fetch: Got NULL url"},
      {"http:///no/host", "http_fetch: Unknown host"},
      {"http://127.0.0.1:99999/", "http_fetch: Invalid argument"},
      {refused.c_str(), "http_fetch: Connection refused"},
  };
  for (const auto& c : cases) {
    char* body = nullptr;
    EXPECT_EQ(-1, http_fetch(c.url, &body));
    EXPECT_EQ(nullptr, body);
    EXPECT_EQ(c.text, http_strerror("http_fetch"));
    testing::internal::CaptureStderr();
    http_perror("http_fetch");
    EXPECT_EQ(c.text + "\n", testing::internal::GetCapturedStderr());
  }
}

TEST_F(UpdateConfigTest, OneDownloadAtATime) {
  CannedHttpServer server;
  server.Set(kUrlPath, {"", true});
  OutcomeRecorder recorder;
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
  EXPECT_TRUE(ConfigUpdater::ValidServer("a.b-c_d:65535"));
  const std::string log = testing::internal::GetCapturedStderr();

  ASSERT_EQ(2u, recorder.outcomes.size());
  EXPECT_EQ("http_fetch: Connection closed inside the response head", recorder.outcomes[0].detail);
  EXPECT_EQ(UpdateConfigOutcome::kUpdated, recorder.outcomes[1].result);
  EXPECT_EQ(kNewConfig, ReadWholeFile(path_));
  EXPECT_NE(std::string::npos, log.find(Warn("updateconfig: a download is already running")));
  EXPECT_NE(std::string::npos, log.find(Warn("updateconfig: no configuration server given and "
                                             "HTTP2QUORVIN_CONFIG_SERVER is not set")));
  EXPECT_NE(std::string::npos,
            log.find(Warn("updateconfig: bad configuration server \"a b\" (host or host:port)")));
}

}  // namespace
