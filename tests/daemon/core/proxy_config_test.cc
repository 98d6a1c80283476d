#include "core/proxy_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/config_store.h"

namespace {

// Loads `text` as a configuration file into a fresh record and store, capturing what the load
// writes to standard output and to the log.
struct LoadResult {
  int rc = 0;
  ProxyConfig config;
  ConfigStore store;
  std::string out;
  std::string log;
};

std::string Warn(const std::string& text) {
  return "W/config(" + std::to_string(getpid()) + "): " + text + "\n";
}

std::string WriteTemp(const std::string& text) {
  char path[] = "/tmp/qv_config_XXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
  close(fd);
  return path;
}

void LoadPath(const std::string& path, LoadResult* r) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  r->rc = r->config.Load(path.c_str(), &r->store);
  fflush(stdout);
  r->out = testing::internal::GetCapturedStdout();
  r->log = testing::internal::GetCapturedStderr();
}

void LoadText(const std::string& text, LoadResult* r) {
  std::string path = WriteTemp(text);
  LoadPath(path, r);
  unlink(path.c_str());
}

const char kFullFile[] =
    "; proxy settings\n"
    "[http2quorvin]\n"
    "DISABLE_NAGLE=1\n"
    "LISTEN_IP=127.0.0.1\n"
    "LISTEN_PORT=8123\n"
    "QUORVIN_GATE_IP=gate.example\n"
    "QUORVIN_GATE_PORT=443\n"
    "SOCKET_READ_BUF_SIZE=4096\n"
    "ACCEPT_BACKLOG_SIZE=64\n"
    "REUSEADDR=0\n"
    "LOG_LEVEL = 2\n"
    "MAX_EPOLL_FD_SIZE=512\n"
    "MAX_STREAM_PER_SESSION=100\n"
    "MAX_FRONT_CONN_SIZE=50\n"
    "MAX_SESSION_IDLE_TIME=120\n"
    "MAX_FRONTEND_TIME=30   # seconds\n"
    "SPDY_SEGMENT_SIZE=2048\n"
    "MAX_SESSION_QUEUE_SIZE=10\n"
    "KEEP_ALIVE_TIME=15\n"
    "CLEAR_INTERVAL=7\n"
    "IMG_LEVEL=3\n"
    "IMG_TAG=x-q\n"
    "PING_TIMEOUT=9\n";

// The full file with the line of `key` replaced by `line` (or removed when empty).
std::string FullFileWith(const std::string& key, const std::string& line) {
  std::string text = kFullFile;
  size_t pos = text.find("\n" + key);
  EXPECT_NE(pos, std::string::npos) << key;
  size_t end = text.find('\n', pos + 1);
  text.replace(pos + 1, end - pos, line.empty() ? "" : line + "\n");
  return text;
}

void ExpectDefaults(const ProxyConfig& c) {
  ProxyConfig d;
  EXPECT_EQ(d.disable_nagle_, c.disable_nagle_);
  EXPECT_EQ(d.listen_ip_, c.listen_ip_);
  EXPECT_EQ(d.log_level_, c.log_level_);
  EXPECT_EQ(d.max_epoll_fd_size_, c.max_epoll_fd_size_);
  EXPECT_EQ(d.ping_timeout_, c.ping_timeout_);
  EXPECT_EQ(d.img_tag_, c.img_tag_);
}

TEST(ProxyConfigTest, FullFileReadsEveryKeyQuietly) {
  LoadResult r;
  LoadText(kFullFile, &r);
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("", r.log);
  const ProxyConfig& c = r.config;
  EXPECT_TRUE(c.disable_nagle_);
  EXPECT_EQ("127.0.0.1", c.listen_ip_);
  EXPECT_EQ("8123", c.listen_port_);
  EXPECT_EQ("gate.example", c.quorvin_gate_ip_);
  EXPECT_EQ("443", c.quorvin_gate_port_);
  EXPECT_EQ(4096, c.socket_read_buf_size);
  EXPECT_EQ(64, c.accept_backlog_size_);
  EXPECT_FALSE(c.reuseaddr_);
  EXPECT_EQ(2, c.log_level_);
  EXPECT_EQ(512, c.max_epoll_fd_size_);
  EXPECT_EQ(100, c.max_stream_per_session_);
  EXPECT_EQ(50, c.max_front_conn_size_);
  EXPECT_EQ(120, c.max_session_idle_time_);
  EXPECT_EQ(30, c.max_frontend_time_);
  EXPECT_EQ(2048, c.spdy_segment_size);
  EXPECT_EQ(10, c.max_session_queue_size_);
  EXPECT_EQ(15, c.keep_alive_time_);
  EXPECT_EQ(7, c.clear_interval_);
  EXPECT_EQ(3, c.img_level_);
  EXPECT_EQ("x-q", c.img_tag_);
  EXPECT_EQ(9, c.ping_timeout_);
}

TEST(ProxyConfigTest, DefaultsMatchTheDocumentedTable) {
  ProxyConfig c;
  EXPECT_EQ("", c.listen_ip_);
  EXPECT_FALSE(c.disable_nagle_);
  EXPECT_EQ(10240, c.socket_read_buf_size);
  EXPECT_EQ(128, c.accept_backlog_size_);
  EXPECT_TRUE(c.reuseaddr_);
  EXPECT_EQ(1, c.log_level_);
  EXPECT_EQ(1024, c.max_epoll_fd_size_);
  EXPECT_EQ(200, c.max_stream_per_session_);
  EXPECT_EQ(200, c.max_front_conn_size_);
  EXPECT_EQ(300, c.max_session_idle_time_);
  EXPECT_EQ(30, c.max_frontend_time_);
  EXPECT_EQ(4096, c.spdy_segment_size);
  EXPECT_EQ(20, c.max_session_queue_size_);
  EXPECT_EQ(30, c.keep_alive_time_);
  EXPECT_EQ(30, c.clear_interval_);
  EXPECT_EQ("", c.img_tag_);
}

TEST(ProxyConfigTest, MissingFileKeepsDefaults) {
  LoadResult r;
  LoadPath("/nonexistent/qv.conf", &r);
  EXPECT_EQ(-1, r.rc);
  EXPECT_EQ(Warn("load config file /nonexistent/qv.conf error!"), r.log);
  EXPECT_EQ("", r.out);
  ExpectDefaults(r.config);
}

TEST(ProxyConfigTest, FileWithoutSectionHeaderFailsAtFirstKey) {
  std::string text = kFullFile;
  text.erase(text.find("[http2quorvin]\n"), 15);
  LoadResult r;
  LoadText(text, &r);
  EXPECT_EQ(-1, r.rc);
  EXPECT_EQ("get_num_value fail\n", r.out);
  EXPECT_EQ(Warn("config disable_nagle_ read error"), r.log);
  ExpectDefaults(r.config);
  // The keys went to the empty section.
  EXPECT_STREQ("127.0.0.1", r.store.get_str_value("", "LISTEN_IP"));
}

TEST(ProxyConfigTest, LogLevelMinusOneStopsTheLoadThere) {
  LoadResult r;
  LoadText(FullFileWith("LOG_LEVEL", "LOG_LEVEL=-1"), &r);
  EXPECT_EQ(-1, r.rc);
  EXPECT_EQ("", r.out);  // the key exists, so the lookup itself does not complain
  EXPECT_EQ(Warn("config log_level_ read error"), r.log);
  EXPECT_FALSE(r.config.reuseaddr_);  // read before LOG_LEVEL
  EXPECT_EQ(64, r.config.accept_backlog_size_);
  EXPECT_EQ(1, r.config.log_level_);
  EXPECT_EQ(1024, r.config.max_epoll_fd_size_);
  EXPECT_EQ(30, r.config.max_frontend_time_);
  EXPECT_EQ("", r.config.img_tag_);
}

TEST(ProxyConfigTest, EachMissingKeyHasItsOwnMessage) {
  struct Case {
    const char* key;
    const char* out;
    const char* message;
  } cases[] = {
      {"LISTEN_IP", "get_str_value fail\n", "config listen_ip_ read error"},
      {"QUORVIN_GATE_PORT", "get_str_value fail\n", "config quorvin_gate_port_ read error"},
      {"SOCKET_READ_BUF_SIZE", "get_num_value fail\n", "config socket_read_buf_size read error"},
      {"REUSEADDR", "get_num_value fail\n", "config reuseaddr_ read error"},
      {"SPDY_SEGMENT_SIZE", "get_num_value fail\n", "config spdy_segment_size read error"},
      {"KEEP_ALIVE_TIME", "get_num_value fail\n", "config keep_alive_time_ read error"},
      {"CLEAR_INTERVAL", "get_num_value fail\n", "config clear_interval_ read error"},
      {"IMG_TAG", "get_str_value fail\n", "config img_tag_ read error"},
      {"PING_TIMEOUT", "get_num_value fail\n", "config ping_timeout_ read error"},
  };
  for (const Case& c : cases) {
    LoadResult r;
    LoadText(FullFileWith(c.key, ""), &r);
    EXPECT_EQ(-1, r.rc) << c.key;
    EXPECT_EQ(c.out, r.out) << c.key;
    // LOG_LEVEL is 2 once read; the failure is still a WARN.
    EXPECT_EQ(Warn(c.message), r.log) << c.key;
  }
}

TEST(ProxyConfigTest, MessagesFollowTheLevelReadSoFar) {
  // LOG_LEVEL 0 is read before the missing key: the failure is silent in the log but the lookup
  // still writes to standard output.
  std::string text = FullFileWith("LOG_LEVEL", "LOG_LEVEL=0");
  text = text.substr(0, text.find("IMG_TAG"));
  LoadResult r;
  LoadText(text, &r);
  EXPECT_EQ(-1, r.rc);
  EXPECT_EQ("get_str_value fail\n", r.out);
  EXPECT_EQ("", r.log);
  EXPECT_EQ(0, r.config.log_level_);
  EXPECT_EQ(3, r.config.img_level_);
}

TEST(ProxyConfigTest, FlagsAreTrueForAnyNonZeroNumberAndTextReadsAsZero) {
  LoadResult a;
  LoadText(FullFileWith("DISABLE_NAGLE", "DISABLE_NAGLE=7"), &a);
  EXPECT_TRUE(a.config.disable_nagle_);
  LoadResult b;
  LoadText(FullFileWith("REUSEADDR", "REUSEADDR=yes"), &b);
  EXPECT_EQ(0, b.rc);
  EXPECT_FALSE(b.config.reuseaddr_);
  LoadResult c;
  LoadText(FullFileWith("MAX_FRONTEND_TIME", "MAX_FRONTEND_TIME=abc"), &c);
  EXPECT_EQ(0, c.config.max_frontend_time_);
}

TEST(ProxyConfigTest, LinesLongerThan1023CharactersAreReadInPieces) {
  // The first 1024 bytes are one piece; the rest of the line is parsed as a line of its own.
  std::string text = FullFileWith("IMG_TAG", "IMG_TAG=" + std::string(1100, 'a'));
  text += "#" + std::string(1023, ' ') + "LOG_LEVEL=0\n";
  LoadResult r;
  LoadText(text, &r);
  EXPECT_EQ(0, r.rc);
  EXPECT_EQ(std::string(1016, 'a'), r.config.img_tag_);
  EXPECT_EQ(0, r.config.log_level_);  // the tail of the comment line became a key line

  // Exactly 1023 characters plus the line end still make one line.
  LoadResult s;
  LoadText(FullFileWith("IMG_TAG", "IMG_TAG=" + std::string(1015, 'b')), &s);
  EXPECT_EQ(std::string(1015, 'b'), s.config.img_tag_);
}

}  // namespace
