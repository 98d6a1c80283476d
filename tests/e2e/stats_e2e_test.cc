// The daemon binary end to end on what its statistics and configuration download promise:
// "updateconfig" through the control socket, a connection's figures staying with the UID it
// had when the kernel's tables change under it, and SIGKILL during traffic losing no figure of
// a request that completed more than a second before.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"

namespace {

using qvtest::CurlResult;
using qvtest::DaemonUnderTest;
using qvtest::Process;
using qvtest::TempDir;

const char kConfigPath[] = "/tc/pelmar02/http2quorvin.conf";

std::vector<std::string> Emulated(const std::string& program) {
  std::vector<std::string> words;
  std::istringstream emulator(QV_EMULATOR);
  for (std::string w; emulator >> w;)
    words.push_back(w);
  words.push_back(program);
  return words;
}

// The daemon on a configuration of its own (LOG_LEVEL 1) with the environment a case needs.
class OwnDaemon {
 public:
  OwnDaemon(int gateway_port, const std::vector<std::string>& env) : env_(env) {
    std::string text = "[http2quorvin]\nDISABLE_NAGLE=1\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=0\n";
    text += "QUORVIN_GATE_IP=127.0.0.1\nQUORVIN_GATE_PORT=" + std::to_string(gateway_port) + "\n";
    text +=
        "SOCKET_READ_BUF_SIZE=10240\nACCEPT_BACKLOG_SIZE=128\nREUSEADDR=1\nLOG_LEVEL=1\n"
        "MAX_EPOLL_FD_SIZE=1024\nMAX_STREAM_PER_SESSION=200\nMAX_FRONT_CONN_SIZE=200\n"
        "MAX_SESSION_IDLE_TIME=300\nMAX_FRONTEND_TIME=30\nSPDY_SEGMENT_SIZE=4096\n"
        "MAX_SESSION_QUEUE_SIZE=20\nKEEP_ALIVE_TIME=30\nCLEAR_INTERVAL=30\nIMG_LEVEL=0\n"
        "IMG_TAG=x-img-level\nPING_TIMEOUT=30\n";
    qvtest::WriteFile(dir_.File("http2quorvin.conf"), text);
  }

  // Spawns the daemon, starts the proxy; its port, or -1.
  int Start() {
    std::vector<std::string> env = {"HTTP2QUORVIN_CONF=" + dir_.File("http2quorvin.conf"),
                                    "HTTP2QUORVIN_DB=" + db(),
                                    "HTTP2QUORVIN_SOCKET=" + dir_.File("ctl"),
                                    "HTTP2QUORVIN_PROC_NET=", "ANDROID_SOCKET_http2proxy="};
    env.insert(env.end(), env_.begin(), env_.end());
    if (!daemon_.Spawn(Emulated(QV_DAEMON_PATH), dir_.File("daemon.out"), dir_.File("daemon.err"),
                       env))
      return -1;
    struct stat st;
    if (!qvtest::WaitUntil([&]() { return stat(dir_.File("ctl").c_str(), &st) == 0; }, 20) ||
        Ctl({"start"}) != "1 StartOkay.")
      return -1;
    int port = -1;
    qvtest::WaitUntil(
        [&]() {
          const std::vector<int> ports = qvtest::ListeningPorts(daemon_.pid());
          port = ports.size() == 1 ? ports[0] : -1;
          return port > 0;
        },
        5);
    return port;
  }

  std::string Ctl(const std::vector<std::string>& words) {
    std::vector<std::string> argv = Emulated(QV_CTL_PATH);
    argv.insert(argv.end(), {"--socket", dir_.File("ctl")});
    argv.insert(argv.end(), words.begin(), words.end());
    Process ctl;
    if (!ctl.Spawn(argv, dir_.File("ctl.out"), dir_.File("ctl.err")) || ctl.Wait(20) == -1)
      return "<no reply>";
    std::string out = qvtest::ReadFile(dir_.File("ctl.out"));
    while (!out.empty() && out.back() == '\n')
      out.pop_back();
    return out;
  }

  Process& process() { return daemon_; }
  std::string db() const { return dir_.File("flow.db"); }
  std::string Log() const { return qvtest::ReadFile(dir_.File("daemon.err")); }
  TempDir& dir() { return dir_; }

 private:
  TempDir dir_;
  std::vector<std::string> env_;
  Process daemon_;
};

class StatsEndToEndTest : public qvtest::PeersSuite {
 protected:
};

// A listening socket nobody accepts on: connections complete, requests are never answered.
int SilentListener(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

TEST_F(StatsEndToEndTest, UpdateConfigThroughTheControlSocket) {
  unsetenv("HTTP2QUORVIN_CONFIG_SERVER");
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(gateway_->port())}});
  ASSERT_TRUE(daemon.Start());
  ASSERT_TRUE(daemon.StartListening());
  const std::string config = daemon.dir().File("http2quorvin.conf");
  const std::string old_config = qvtest::ReadFile(config);

  // A configuration server: python's http.server over a folder holding the new file.
  TempDir served;
  ASSERT_EQ(0, system(("mkdir -p " + served.path() + "/tc/pelmar02").c_str()));
  const std::string new_config = old_config + "; served\n";
  ASSERT_TRUE(qvtest::WriteFile(served.path() + kConfigPath, new_config));
  Process server;
  ASSERT_TRUE(server.Spawn({"python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1",
                            "--directory", served.path()},
                           served.File("server.out"), served.File("server.err")));
  const std::string line = qvtest::WaitForFirstLine(served.File("server.out"), 20);
  const size_t at = line.find(" port ");
  ASSERT_NE(std::string::npos, at) << line;
  const std::string server_word = "127.0.0.1:" + std::to_string(atoi(line.c_str() + at + 6));

  int silent_port = 0;
  const int silent = SilentListener(&silent_port);
  ASSERT_GE(silent, 0);
  const struct {
    std::vector<std::string> words;
    std::string reply;
    int exit_code;
  } steps[] = {
      {{"updateconfig"},
       "502 UpdateConfigNoServer: no server given and HTTP2QUORVIN_CONFIG_SERVER is not set.",
       1},
      {{"updateconfig", "127.0.0.1:" + std::to_string(silent_port)}, "1 UpdateConfigStarted.", 0},
      // The first download waits on a server that never answers.
      {{"updateconfig", server_word}, "501 UpdateConfigBusy: a download is already running.", 1},
      {{"updateconfig", "cfg host"},
       "503 UpdateConfigBadServer: \"cfg host\" is not host or host:port.",
       1},
  };
  for (const auto& step : steps) {
    const qvtest::CtlResult r = daemon.Ctl(step.words);
    EXPECT_EQ(step.reply, r.out) << step.words.back();
    EXPECT_EQ(step.exit_code, r.exit_code) << step.words.back();
  }
  // The silent server goes away: the download fails, the file stays.
  close(silent);
  const std::string failed = "601 config download failed: ";
  EXPECT_TRUE(qvtest::WaitUntil(
      [&]() { return daemon.Broadcasts().find(failed) != std::string::npos; }, 20))
      << daemon.Broadcasts();
  EXPECT_EQ(old_config, qvtest::ReadFile(config));

  EXPECT_EQ("1 UpdateConfigStarted.", daemon.Ctl({"updateconfig", server_word}).out);
  const std::string updated = "600 config updated: http://" + server_word + kConfigPath;
  EXPECT_TRUE(qvtest::WaitUntil(
      [&]() { return daemon.Broadcasts().find(updated) != std::string::npos; }, 20))
      << daemon.Broadcasts();
  EXPECT_EQ(new_config, qvtest::ReadFile(config));
  EXPECT_NE(std::string::npos, daemon.Log().find("in effect at the next start"));
  server.Stop(SIGTERM, 5);
  EXPECT_EQ(0, daemon.Stop());
}

// The tcp table of HTTP2QUORVIN_PROC_NET, listing one client port under `uid`.
void WriteTables(const std::string& folder, int port, int uid) {
  char line[256];
  snprintf(line, sizeof(line),
           "   0: 0100007F:%04X 0100007F:1F90 01 00000000:00000000 00:00000000 00000000 %5d "
           "       0 4711 1 0000000000000000 20 4 30 10 -1\n",
           port, uid);
  const std::string header =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode\n";
  qvtest::WriteFile(folder + "/tcp6", header);
  qvtest::WriteFile(folder + "/tcp.new", header + line);
  rename((folder + "/tcp.new").c_str(), (folder + "/tcp").c_str());
}

// A client socket bound to `port` (0: any), connected to the proxy.
int ClientFrom(int* port, int proxy_port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(*port));
  socklen_t len = sizeof(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  addr.sin_port = htons(static_cast<uint16_t>(proxy_port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendText(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Everything the proxy sends until it closes.
std::string ReadToClose(int fd) {
  std::string got;
  char buf[65536];
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0)
      return got + "<timeout>";
    const ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0)
      return got;
    got.append(buf, static_cast<size_t>(n));
  }
}

TEST_F(StatsEndToEndTest, FiguresStayWithTheUidTheConnectionHad) {
  TempDir tables;
  OwnDaemon daemon(gateway_->port(), {"HTTP2QUORVIN_PROC_NET=" + tables.path()});
  // The daemon's start does not consult the tables; they exist before any client.
  WriteTables(tables.path(), 1, 1);
  const int proxy = daemon.Start();
  ASSERT_GT(proxy, 0);
  const std::string url = origin_->Url("/size/3000");
  const std::string head = "GET " + url +
                           " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin_->http_port()) +
                           "\r\n";
  const std::string tail = "Connection: close\r\n\r\n";

  // The first connection's client is UID 10061 when it connects; the tables then list its port
  // under 10062, and the rest of its request and the whole reply still count for 10061.
  int port = 0;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  {
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(any);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&any), len));
    getsockname(fd, reinterpret_cast<sockaddr*>(&any), &len);
    port = ntohs(any.sin_port);
    close(fd);  // the port is free again; ClientFrom binds it anew
  }
  WriteTables(tables.path(), port, 10061);
  fd = ClientFrom(&port, proxy);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendText(fd, head));
  const std::string read_line = "read GetSourcePort is " + std::to_string(port);
  ASSERT_TRUE(
      qvtest::WaitUntil([&]() { return daemon.Log().find(read_line) != std::string::npos; }, 10));
  WriteTables(tables.path(), port, 10062);
  ASSERT_TRUE(SendText(fd, tail));
  const std::string first = ReadToClose(fd);
  close(fd);
  ASSERT_NE(std::string::npos, first.find("HTTP/1.1 200")) << first.substr(0, 200);

  // A new connection from the same port belongs to whoever owns it now.
  fd = ClientFrom(&port, proxy);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(SendText(fd, head + tail));
  const std::string second = ReadToClose(fd);
  close(fd);
  ASSERT_NE(std::string::npos, second.find("HTTP/1.1 200")) << second.substr(0, 200);

  const std::string today = qvtest::Today();
  const std::string expected = "1 {Flow:[{up:" + std::to_string(head.size() + tail.size()) +
                               ",down:" + std::to_string(first.size()) +
                               ",appUID:10061},{up:" + std::to_string(head.size() + tail.size()) +
                               ",down:" + std::to_string(second.size()) + ",appUID:10062}]}";
  std::string detail;
  EXPECT_TRUE(qvtest::WaitUntil(
      [&]() {
        detail = daemon.Ctl({"querydetailflow", today, today, ""});
        return detail == expected;
      },
      5))
      << detail << "\nexpected " << expected;
}

// SIGKILL during traffic; QV_CRASH_RUNS sets the number of runs (2 by default, 20 for the
// durability check).
TEST_F(StatsEndToEndTest, KillNineKeepsEveryFigureOlderThanASecond) {
  const char* runs_text = getenv("QV_CRASH_RUNS");
  const int runs = runs_text != nullptr ? atoi(runs_text) : 2;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE(run);
    OwnDaemon daemon(gateway_->port(), {});
    const int proxy = daemon.Start();
    ASSERT_GT(proxy, 0);
    struct Done {
      double at;
      long long up;
      long long down;
    };
    std::vector<Done> done;
    // The clock starts at the first completed request, however slow a loaded machine makes it.
    double kill_at = 0;
    while (kill_at == 0 || qvtest::NowSeconds() < kill_at) {
      CurlResult r = qvtest::RunCurl(
          daemon.dir(), {"-x", "http://127.0.0.1:" + std::to_string(proxy), "-w",
                         "%{size_header} %{size_request}", origin_->Url("/size/20000")});
      long long head = 0, request = 0;
      ASSERT_EQ(0, r.exit_code) << r.stderr_text;
      ASSERT_EQ(2, sscanf(r.written.c_str(), "%lld %lld", &head, &request));
      done.push_back({qvtest::NowSeconds(), request, head + static_cast<long long>(r.body.size())});
      if (kill_at == 0)
        kill_at = done.back().at + 1.3 + 0.1 * (run % 5);
    }
    const double killed = qvtest::NowSeconds();
    daemon.process().Stop(SIGKILL, 5);
    long long due_up = 0, due_down = 0;
    for (const Done& d : done) {
      if (d.at <= killed - 1.0) {
        due_up += d.up;
        due_down += d.down;
      }
    }
    ASSERT_GT(due_up, 0);

    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(daemon.db().c_str(), &db));
    std::vector<std::string> values;
    auto collect = [](void* arg, int n, char** v, char**) {
      for (int i = 0; i < n; ++i)
        static_cast<std::vector<std::string>*>(arg)->push_back(v[i] != nullptr ? v[i] : "");
      return 0;
    };
    values.clear();
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "PRAGMA integrity_check", collect, &values, nullptr));
    ASSERT_EQ(1u, values.size());
    EXPECT_EQ("ok", values[0]);
    values.clear();
    const std::string sums =
        "select cast(total(UPFLOW) as integer), cast(total(DOWNFLOW) as "
        "integer) from flow where UID = " +
        std::to_string(getuid());
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, sums.c_str(), collect, &values, nullptr));
    sqlite3_close(db);
    ASSERT_EQ(2u, values.size());
    EXPECT_GE(atoll(values[0].c_str()), due_up);
    EXPECT_GE(atoll(values[1].c_str()), due_down);
  }
}

}  // namespace
