#include "e2e/daemon_helper.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>

namespace qvtest {

namespace {

const char* const kDefaults[][2] = {
    {"DISABLE_NAGLE", "1"},
    {"LISTEN_IP", "127.0.0.1"},
    {"LISTEN_PORT", "0"},
    {"QUORVIN_GATE_IP", "127.0.0.1"},
    {"QUORVIN_GATE_PORT", "1"},
    {"SOCKET_READ_BUF_SIZE", "10240"},
    {"ACCEPT_BACKLOG_SIZE", "128"},
    {"REUSEADDR", "1"},
    {"LOG_LEVEL", "1"},
    {"MAX_EPOLL_FD_SIZE", "1024"},
    {"MAX_STREAM_PER_SESSION", "200"},
    {"MAX_FRONT_CONN_SIZE", "200"},
    {"MAX_SESSION_IDLE_TIME", "300"},
    {"MAX_FRONTEND_TIME", "30"},
    {"SPDY_SEGMENT_SIZE", "4096"},
    {"MAX_SESSION_QUEUE_SIZE", "20"},
    {"KEEP_ALIVE_TIME", "30"},
    {"CLEAR_INTERVAL", "30"},
    {"IMG_LEVEL", "3"},
    {"IMG_TAG", "x-img-level"},
    {"PING_TIMEOUT", "30"},
};

}  // namespace

namespace {

std::string MemoryBackedFolder() {
  struct stat st;
  return stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0
             ? "/dev/shm"
             : "";
}

}  // namespace

DaemonUnderTest::DaemonUnderTest(const std::map<std::string, std::string>& settings)
    : db_dir_(MemoryBackedFolder()) {
  config_ = dir_.File("http2quorvin.conf");
  db_ = (db_dir_.path().empty() ? dir_ : db_dir_).File("flow.db");
  socket_ = dir_.File("http2proxy");
  std::string text = "[http2quorvin]\n";
  for (const auto& kv : kDefaults) {
    auto it = settings.find(kv[0]);
    text += std::string(kv[0]) + "=" + (it != settings.end() ? it->second : kv[1]) + "\n";
  }
  WriteFile(config_, text);
}

DaemonUnderTest::~DaemonUnderTest() {
  listener_.Stop(SIGTERM, 5);
  daemon_.Stop(SIGKILL, 5);
  if (::testing::Test::HasFailure()) {
    // The daemon's own account, without the per-read and per-write lines.
    std::string shown;
    for (const std::string& line : Lines(Log())) {
      if (line.find("GetSourcePort") == std::string::npos &&
          line.find("_OnStatistic") == std::string::npos &&
          line.find("http send:") == std::string::npos &&
          line.find(" bytes 0") == std::string::npos && line.find(" bytes 1") == std::string::npos)
        shown += line + "\n";
    }
    printf("daemon log:\n%s", shown.c_str());
  }
}

std::vector<std::string> DaemonUnderTest::Emulated(const std::string& program) const {
  std::vector<std::string> words;
  std::istringstream emulator(QV_EMULATOR);
  for (std::string w; emulator >> w;)
    words.push_back(w);
  words.push_back(program);
  return words;
}

bool DaemonUnderTest::Start() {
  const std::vector<std::string> env = {
      "HTTP2QUORVIN_CONF=" + config_, "HTTP2QUORVIN_DB=" + db_, "HTTP2QUORVIN_SOCKET=" + socket_,
      // The real kernel tables, and our own socket rather than one passed by an init.
      "HTTP2QUORVIN_PROC_NET=", "ANDROID_SOCKET_http2proxy="};
  std::vector<std::string> argv = wrapper_;
  const std::vector<std::string> daemon = Emulated(QV_DAEMON_PATH);
  argv.insert(argv.end(), daemon.begin(), daemon.end());
  if (!daemon_.Spawn(argv, dir_.File("daemon.out"), dir_.File("daemon.err"), env))
    return false;
  struct stat st;
  return WaitUntil([&]() { return stat(socket_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode); }, 20);
}

int DaemonUnderTest::Stop() {
  return daemon_.Stop(SIGTERM, 10);
}

CtlResult DaemonUnderTest::Ctl(const std::vector<std::string>& words) {
  std::vector<std::string> argv = Emulated(QV_CTL_PATH);
  argv.insert(argv.end(), {"--socket", socket_});
  argv.insert(argv.end(), words.begin(), words.end());
  static int count = 0;
  const std::string base = dir_.File("ctl" + std::to_string(count++));
  Process ctl;
  CtlResult result;
  if (!ctl.Spawn(argv, base + ".out", base + ".err"))
    return result;
  const int status = ctl.Wait(20);
  if (status != -1 && WIFEXITED(status))
    result.exit_code = WEXITSTATUS(status);
  result.out = ReadFile(base + ".out");
  while (!result.out.empty() && (result.out.back() == '\n' || result.out.back() == '\0'))
    result.out.pop_back();
  return result;
}

int DaemonUnderTest::ProxyPort() {
  const std::vector<int> ports = ListeningPorts(daemon_.pid());
  return ports.size() == 1 ? ports[0] : -1;
}

int DaemonUnderTest::StartProxy() {
  if (Ctl({"start"}).out != "1 StartOkay.")
    return -1;
  int port = -1;
  WaitUntil(
      [&]() {
        port = ProxyPort();
        return port > 0;
      },
      5);
  return port;
}

bool DaemonUnderTest::StartListening() {
  std::vector<std::string> argv = Emulated(QV_CTL_PATH);
  argv.insert(argv.end(), {"--socket", socket_, "--listen"});
  if (!listener_.Spawn(argv, dir_.File("listen.out"), dir_.File("listen.err")))
    return false;
  // Connected once the daemon holds a second socket bound on its path (the listening one and
  // the accepted one both show it). The kernel shows the name the socket was bound under, which
  // is the path or a name beside it that was then linked to the path.
  return WaitUntil(
      [&]() {
        int count = 0;
        for (const std::string& line : Lines(ReadFile("/proc/net/unix"))) {
          const size_t name = line.rfind(' ');
          if (name != std::string::npos && line.compare(name + 1, socket_.size(), socket_) == 0)
            ++count;
        }
        return count >= 2;
      },
      10);
}

std::string DaemonUnderTest::Broadcasts() const {
  return ReadFile(dir_.File("listen.out"));
}

std::string Today() {
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char text[16];
  strftime(text, sizeof(text), "%Y-%m-%d", &local);
  return text;
}

}  // namespace qvtest
