// Bad configuration files, from tests/catalogue/data/config_files.cases: what the loader keeps
// of each (every field of the record) and what it logs.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "catalogue/catalogue_helper.h"
#include "core/config_store.h"
#include "core/proxy_config.h"

namespace {

// The keys in the order the loader reads them, the field each fills, and the value of the
// complete file that cases start from with "base: full".
struct Key {
  const char* key;
  const char* field;
  const char* base_line;
  const char* base_value;
};
const Key kKeys[] = {
    {"DISABLE_NAGLE", "disable_nagle_", "1", "true"},
    {"LISTEN_IP", "listen_ip_", "127.0.0.1", "127.0.0.1"},
    {"LISTEN_PORT", "listen_port_", "8123", "8123"},
    {"QUORVIN_GATE_IP", "quorvin_gate_ip_", "gate.example", "gate.example"},
    {"QUORVIN_GATE_PORT", "quorvin_gate_port_", "8443", "8443"},
    {"SOCKET_READ_BUF_SIZE", "socket_read_buf_size", "4096", "4096"},
    {"ACCEPT_BACKLOG_SIZE", "accept_backlog_size_", "64", "64"},
    {"REUSEADDR", "reuseaddr_", "0", "false"},
    {"LOG_LEVEL", "log_level_", "1", "1"},
    {"MAX_EPOLL_FD_SIZE", "max_epoll_fd_size_", "2048", "2048"},
    {"MAX_STREAM_PER_SESSION", "max_stream_per_session_", "100", "100"},
    {"MAX_FRONT_CONN_SIZE", "max_front_conn_size_", "150", "150"},
    {"MAX_SESSION_IDLE_TIME", "max_session_idle_time_", "120", "120"},
    {"MAX_FRONTEND_TIME", "max_frontend_time_", "20", "20"},
    {"SPDY_SEGMENT_SIZE", "spdy_segment_size", "8192", "8192"},
    {"MAX_SESSION_QUEUE_SIZE", "max_session_queue_size_", "10", "10"},
    {"KEEP_ALIVE_TIME", "keep_alive_time_", "15", "15"},
    {"CLEAR_INTERVAL", "clear_interval_", "7", "7"},
    {"IMG_LEVEL", "img_level_", "3", "3"},
    {"IMG_TAG", "img_tag_", "x-q", "x-q"},
    {"PING_TIMEOUT", "ping_timeout_", "10", "10"},
};

// Every field of the record as text, by its name in the code.
std::map<std::string, std::string> Fields(const ProxyConfig& c) {
  auto b = [](bool v) { return std::string(v ? "true" : "false"); };
  auto i = [](int v) { return std::to_string(v); };
  return {
      {"listen_ip_", c.listen_ip_},
      {"listen_port_", c.listen_port_},
      {"disable_nagle_", b(c.disable_nagle_)},
      {"socket_read_buf_size", i(c.socket_read_buf_size)},
      {"accept_backlog_size_", i(c.accept_backlog_size_)},
      {"reuseaddr_", b(c.reuseaddr_)},
      {"log_level_", i(c.log_level_)},
      {"max_epoll_fd_size_", i(c.max_epoll_fd_size_)},
      {"max_stream_per_session_", i(c.max_stream_per_session_)},
      {"max_front_conn_size_", i(c.max_front_conn_size_)},
      {"max_session_idle_time_", i(c.max_session_idle_time_)},
      {"max_frontend_time_", i(c.max_frontend_time_)},
      {"spdy_segment_size", i(c.spdy_segment_size)},
      {"max_session_queue_size_", i(c.max_session_queue_size_)},
      {"keep_alive_time_", i(c.keep_alive_time_)},
      {"ping_timeout_", i(c.ping_timeout_)},
      {"img_level_", i(c.img_level_)},
      {"img_tag_", c.img_tag_},
      {"clear_interval_", i(c.clear_interval_)},
      {"quorvin_gate_ip_", c.quorvin_gate_ip_},
      {"quorvin_gate_port_", c.quorvin_gate_port_},
  };
}

// The standard output written while `run` runs.
std::string CaptureStdout(const std::function<void()>& run) {
  char name[] = "/tmp/qv_catalogue_out_XXXXXX";
  const int fd = mkstemp(name);
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  dup2(fd, STDOUT_FILENO);
  run();
  fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(fd);
  std::ifstream in(name);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(name);
  return text;
}

class ConfigFiles : public testing::TestWithParam<CatalogueCase> {};

TEST_P(ConfigFiles, LoadAsCatalogued) {
  const CatalogueCase& c = GetParam();
  ASSERT_FALSE(c.Has("error")) << c.Get("error");
  // "base: full" starts from a complete file; "set: KEY=VALUE" changes a line of it, "drop: KEY"
  // leaves one out. "line:" and "bytes:" add to the file in order.
  const bool base = c.Get("base") == "full";
  std::map<std::string, std::string> set;
  for (const std::string& v : c.GetAll("set"))
    set[v.substr(0, v.find('='))] = v.substr(v.find('=') + 1);
  std::string content;
  if (base) {
    content = "[http2quorvin]\n";
    for (const Key& k : kKeys) {
      bool dropped = false;
      for (const std::string& d : c.GetAll("drop"))
        dropped = dropped || d == k.key;
      if (!dropped)
        content += std::string(k.key) + "=" +
                   (set.count(k.key) ? Unescape(set[k.key]) : std::string(k.base_line)) + "\n";
    }
  }
  for (const auto& f : c.fields) {
    if (f.first == "line") {
      content += Unescape(f.second) + "\n";
    } else if (f.first == "bytes") {
      std::string bytes, error;
      ASSERT_TRUE(BuildBytes(f.second, &bytes, &error)) << error;
      content += bytes;
    }
  }
  char dir[] = "/tmp/qv_catalogue_conf_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  const std::string path = std::string(dir) + "/http2quorvin.conf";
  if (c.Get("file") != "missing")
    std::ofstream(path, std::ios::binary) << content;

  ProxyConfig record;
  ConfigStore store;
  int result = 0;
  std::string log;
  const std::string out = CaptureStdout([&] {
    StderrCapture capture;
    result = record.Load(path.c_str(), &store);
    log = capture.Text();
  });
  unlink(path.c_str());
  rmdir(dir);

  EXPECT_EQ(result, atoi(c.Get("result", "-1").c_str()));
  // Every field: the catalogued value, else the complete file's (for the keys read before
  // "stops-at: KEY"), else the default.
  std::map<std::string, std::string> want = Fields(ProxyConfig());
  if (base) {
    const std::string stop = c.Get("stops-at");
    for (const Key& k : kKeys) {
      if (stop == k.key)
        break;
      want[k.field] = k.base_value;
    }
  }
  for (const std::string& e : c.GetAll("expect")) {
    const size_t eq = e.find('=');
    ASSERT_NE(eq, std::string::npos) << e;
    ASSERT_EQ(want.count(e.substr(0, eq)), 1u) << "no field " << e.substr(0, eq);
    want[e.substr(0, eq)] = Unescape(e.substr(eq + 1));
  }
  const std::map<std::string, std::string> got = Fields(record);
  for (const auto& w : want)
    EXPECT_EQ(got.at(w.first), w.second) << w.first;

  std::string want_out;
  for (const std::string& s : c.GetAll("stdout"))
    want_out += s + "\n";
  EXPECT_EQ(out, want_out);
  const std::vector<std::string> warns = WarnLines(log);
  const std::vector<std::string> expected = c.GetAll("warn");
  ASSERT_FALSE(expected.empty()) << "a case names its WARN lines, or \"warn: none\"";
  if (expected == std::vector<std::string>{"none"}) {
    EXPECT_TRUE(warns.empty()) << log;
    ASSERT_TRUE(c.Has("why-silent")) << "a bad file that is not logged says why";
    return;
  }
  std::string missing;
  EXPECT_TRUE(ContainsInOrder(warns, expected, &missing)) << "no WARN \"" << missing << "\" in\n"
                                                          << log;
  EXPECT_EQ(warns.size(), expected.size()) << log;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, ConfigFiles,
                         testing::ValuesIn(ReadCatalogue(QV_CATALOGUE_DIR "/config_files.cases")),
                         [](const testing::TestParamInfo<CatalogueCase>& info) {
                           return info.param.name;
                         });

}  // namespace
