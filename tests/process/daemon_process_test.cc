// Starts the real daemon binary and checks how it lives and ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "port/sysutils/control_socket_util.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

double NowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string ConfigText(int log_level) {
  return "[http2quorvin]\n"
         "DISABLE_NAGLE=1\nLISTEN_IP=127.0.0.1\nLISTEN_PORT=0\n"
         "QUORVIN_GATE_IP=127.0.0.1\nQUORVIN_GATE_PORT=8443\n"
         "SOCKET_READ_BUF_SIZE=10240\nACCEPT_BACKLOG_SIZE=128\nREUSEADDR=1\n"
         "LOG_LEVEL=" +
         std::to_string(log_level) +
         "\n"
         "MAX_EPOLL_FD_SIZE=1024\nMAX_STREAM_PER_SESSION=200\nMAX_FRONT_CONN_SIZE=200\n"
         "MAX_SESSION_IDLE_TIME=300\nMAX_FRONTEND_TIME=30\nSPDY_SEGMENT_SIZE=4096\n"
         "MAX_SESSION_QUEUE_SIZE=20\nKEEP_ALIVE_TIME=30\nCLEAR_INTERVAL=30\n"
         "IMG_LEVEL=0\nIMG_TAG=x-img-level\nPING_TIMEOUT=30\n";
}

// The daemon under test, with its standard output and log captured in files.
class Daemon {
 public:
  explicit Daemon(const std::string& config_text) {
    char dir[] = "/tmp/qv_daemon_XXXXXX";
    dir_ = mkdtemp(dir);
    config_ = dir_ + "/http2quorvin.conf";
    std::ofstream(config_) << config_text;
    out_ = dir_ + "/stdout";
    err_ = dir_ + "/stderr";
    socket_ = dir_ + "/http2proxy";
  }
  ~Daemon() {
    if (Signal(SIGKILL) == 0)
      waitpid(pid_, nullptr, 0);
    unlink(config_.c_str());
    unlink(out_.c_str());
    unlink(err_.c_str());
    unlink(socket_.c_str());
    for (const char* name : {"/flow.db", "/flow.db-wal", "/flow.db-shm"})
      unlink((dir_ + name).c_str());
    rmdir(dir_.c_str());
  }

  // Forks and execs the daemon (through the emulator when cross-built). Runs in the child too
  // when called from an intermediate process.
  // Starts the daemon (through the emulator when cross-built) with posix_spawn: glibc's fork
  // in a dynamically linked ARM binary crashes under qemu.
  pid_t Spawn() {
    std::vector<std::string> words = CommandWords();
    std::vector<char*> argv;
    for (std::string& w : words)
      argv.push_back(&w[0]);
    argv.push_back(nullptr);
    std::string conf = "HTTP2QUORVIN_CONF=" + config_;
    // The control socket in our own folder, never one an init or another run passed on.
    std::string sock = "HTTP2QUORVIN_SOCKET=" + socket_;
    // A flow database of its own: "start" answers it could not open one otherwise.
    std::string db = "HTTP2QUORVIN_DB=" + dir_ + "/flow.db";
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
      if (strncmp(*e, "HTTP2QUORVIN_CONF=", 18) != 0 &&
          strncmp(*e, "HTTP2QUORVIN_SOCKET=", 20) != 0 &&
          strncmp(*e, "HTTP2QUORVIN_DB=", 16) != 0 &&
          strncmp(*e, "ANDROID_SOCKET_http2proxy=", 26) != 0)
        envp.push_back(*e);
    }
    envp.push_back(&conf[0]);
    envp.push_back(&sock[0]);
    envp.push_back(&db[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
  }

  // The command line that starts the daemon, emulator first when there is one.
  std::vector<std::string> CommandWords() const {
    std::vector<std::string> words;
    std::istringstream emulator(QV_EMULATOR);
    for (std::string w; emulator >> w;)
      words.push_back(w);
    words.push_back(QV_DAEMON_PATH);
    words.insert(words.end(), args_.begin(), args_.end());
    return words;
  }
  void set_args(const std::vector<std::string>& args) { args_ = args; }

  const std::string& dir() const { return dir_; }
  const std::string& config() const { return config_; }
  const std::string& socket_path() const { return socket_; }
  void set_socket_path(const std::string& path) { socket_ = path; }
  const std::string& out_path() const { return out_; }
  const std::string& err_path() const { return err_; }

  void Start() {
    pid_ = Spawn();
    ASSERT_GT(pid_, 0);
    // Started means its handlers are installed: wait for the first log line, then a moment.
    WaitForLog("ppid", 5.0);
    usleep(200 * 1000);
  }

  bool WaitForLog(const std::string& text, double seconds) {
    double end = NowSeconds() + seconds;
    while (NowSeconds() < end) {
      if (Log().find(text) != std::string::npos)
        return true;
      usleep(20 * 1000);
    }
    return false;
  }

  // Waits up to `seconds` for the daemon to end; returns false if it is still running.
  bool WaitExit(double seconds, int* status) {
    double end = NowSeconds() + seconds;
    while (NowSeconds() < end) {
      pid_t r = waitpid(pid_, status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return true;
      }
      usleep(10 * 1000);
    }
    return false;
  }

  // Never signals a pid <= 0: kill() would reach a whole process group or every process.
  int Signal(int signo) const { return pid_ > 0 ? kill(pid_, signo) : -1; }

  pid_t pid() const { return pid_; }
  void set_pid(pid_t pid) { pid_ = pid; }
  std::string Out() const { return ReadFile(out_); }
  std::string Log() const { return ReadFile(err_); }

 private:
  std::string dir_, config_, out_, err_, socket_;
  std::vector<std::string> args_;
  pid_t pid_ = -1;
};

struct SignalCase {
  int signo;
  const char* line;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
  *os << c.line;
}

class DaemonSignalTest : public testing::TestWithParam<SignalCase> {};

TEST_P(DaemonSignalTest, EndsPromptlyWithStatusZeroAndItsLine) {
  Daemon d(ConfigText(1));
  d.Start();
  // With a proxy running there are threads that could take the signal: it must still end the
  // main thread's wait at once rather than after its second.
  qvtest::ControlClient control(d.socket_path());
  ASSERT_EQ("1 StartOkay.", control.Ask("start"));
  double sent = NowSeconds();
  ASSERT_EQ(0, d.Signal(GetParam().signo));
  int status = 0;
  ASSERT_TRUE(d.WaitExit(1.5, &status)) << "still running after 1.5 s";
  EXPECT_LT(NowSeconds() - sent, 1.0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(std::string(GetParam().line) + "\n", d.Out());
}

INSTANTIATE_TEST_SUITE_P(Signals, DaemonSignalTest,
                         testing::Values(SignalCase{SIGTERM, "quorvingate recv SIGTERM"},
                                         SignalCase{SIGINT, "quorvingate recv SIGINT"},
                                         SignalCase{SIGQUIT, "quorvingate recv SIGQUIT"}),
                         [](const testing::TestParamInfo<SignalCase>& info) {
                           std::string line = info.param.line;
                           return line.substr(line.rfind(' ') + 1);
                         });

// --help is answered without starting anything; any other word is refused.
TEST(DaemonProcessTest, HelpIsAnsweredAndAnUnknownOptionRefused) {
  struct ArgsCase {
    std::vector<std::string> args;
    int status;
    const char* out;  // in standard output
    const char* err;  // in standard error
  } cases[] = {
      {{"--help"}, 0, "usage: http2quorvin [--help]", ""},
      {{"-h"}, 0, "usage: http2quorvin [--help]", ""},
      {{"--port"}, 2, "", "http2quorvin: unknown option \"--port\"\nusage:"},
      {{"--help", "extra"}, 2, "", "unknown option \"--help\""},
  };
  for (const ArgsCase& c : cases) {
    Daemon d(ConfigText(2));
    d.set_args(c.args);
    d.set_pid(d.Spawn());
    ASSERT_GT(d.pid(), 0);
    int status = 0;
    ASSERT_TRUE(d.WaitExit(10.0, &status)) << c.args[0];
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(c.status, WEXITSTATUS(status)) << c.args[0];
    EXPECT_NE(std::string::npos, d.Out().find(c.out)) << d.Out();
    EXPECT_NE(std::string::npos, d.Log().find(c.err)) << d.Log();
    // Nothing of the daemon ran: no log line, no control socket.
    EXPECT_EQ(std::string::npos, d.Log().find("ppid")) << d.Log();
    EXPECT_NE(0, access(d.socket_path().c_str(), F_OK));
  }
}

TEST(DaemonProcessTest, SigpipeDoesNotEndIt) {
  Daemon d(ConfigText(1));
  d.Start();
  ASSERT_EQ(0, d.Signal(SIGPIPE));
  int status = 0;
  EXPECT_FALSE(d.WaitExit(1.2, &status));
  EXPECT_EQ("", d.Out());
  ASSERT_EQ(0, d.Signal(SIGTERM));
  ASSERT_TRUE(d.WaitExit(1.5, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(DaemonProcessTest, EndsWhenItsParentDies) {
  // Where the kernel lets us, this process adopts the orphan and so becomes its new parent;
  // otherwise (qemu) the orphan goes to another reaper and we only watch it disappear.
  const bool adopt = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
  Daemon d(ConfigText(1));
  // A shell starts the daemon, lets it read its parent id, and goes away.
  std::string cmd;
  for (const std::string& w : d.CommandWords())
    cmd += "'" + w + "' ";
  std::string pid_file = d.dir() + "/pid";
  std::string script = "HTTP2QUORVIN_CONF='" + d.config() + "' HTTP2QUORVIN_SOCKET='" +
                       d.socket_path() + "' " + cmd + ">'" + d.out_path() + "' 2>'" + d.err_path() +
                       "' & echo $! >'" + pid_file + "'; sleep 0.7";
  const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
  pid_t middle = -1;
  ASSERT_EQ(0,
            posix_spawn(&middle, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ));
  ASSERT_EQ(middle, waitpid(middle, nullptr, 0));
  pid_t daemon_pid = atoi(ReadFile(pid_file).c_str());
  unlink(pid_file.c_str());
  ASSERT_GT(daemon_pid, 0);
  d.set_pid(daemon_pid);
  ASSERT_TRUE(d.WaitForLog("ppid " + std::to_string(middle), 1.0)) << d.Log();

  std::string prefix = "W/main(" + std::to_string(daemon_pid) + "): exit ";
  if (adopt) {
    int status = 0;
    ASSERT_TRUE(d.WaitExit(3.0, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(std::string::npos, d.Log().find(prefix + std::to_string(getpid()) + "\n")) << d.Log();
  } else {
    ASSERT_TRUE(d.WaitForLog(prefix, 3.0)) << d.Log();
    double end = NowSeconds() + 3.0;
    while (d.Signal(0) == 0 && NowSeconds() < end)
      usleep(20 * 1000);
    EXPECT_NE(0, d.Signal(0)) << "still running";
    d.set_pid(-1);
  }
  EXPECT_EQ("", d.Out());
}

TEST(DaemonProcessTest, LogLevelsFilterTheLog) {
  for (int level = 0; level <= 2; ++level) {
    Daemon d(ConfigText(level));
    pid_t pid = d.Spawn();
    ASSERT_GT(pid, 0);
    d.set_pid(pid);
    usleep(level == 0 ? 700 * 1000 : 0);
    if (level > 0) {
      ASSERT_TRUE(d.WaitForLog("ppid", 5.0));
    }
    if (level == 2) {
      ASSERT_TRUE(d.WaitForLog("log path", 5.0));
    }
    usleep(100 * 1000);
    d.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(d.WaitExit(1.5, &status));
    std::string tag = "/main(" + std::to_string(pid) + "): ";
    std::string expected;
    if (level >= 1)
      expected += "W" + tag + "ppid " + std::to_string(getpid()) + "\n";
    if (level >= 2) {
      expected += "D" + tag + "mian\n" + "D" + tag + "log path \n";
      // The control socket's listener: the flow database, the eleven commands (the nine,
      // "updateconfig" and "status"), then "aaaa".
      const std::string pid_text = "(" + std::to_string(pid) + "): ";
      expected += "D/operateDB" + pid_text + "OperateDB\n";
      for (int i = 0; i < 11; ++i) {
        expected += "D/control_command" + pid_text + "command constructed function.\n";
        expected += "D/control_command" + pid_text + "command constructed function end.\n";
      }
      expected += "D/control_message" + pid_text + "FlowCompressListener end.\n";
      expected += "D" + tag + "aaaa\n";
    }
    EXPECT_EQ(expected, d.Log()) << "LOG_LEVEL " << level;
  }
}

TEST(DaemonProcessTest, MissingConfigurationKeepsDefaultsAndSaysSo) {
  // Without the section every lookup misses; the default LOG_LEVEL 1 shows the WARN.
  Daemon d("LOG_LEVEL=2\n");
  d.Start();
  d.Signal(SIGTERM);
  int status = 0;
  ASSERT_TRUE(d.WaitExit(1.5, &status));
  EXPECT_EQ("get_num_value fail\nquorvingate recv SIGTERM\n", d.Out());
  std::string log = d.Log();
  EXPECT_NE(std::string::npos, log.find("): config disable_nagle_ read error\n")) << log;
  EXPECT_EQ(std::string::npos, log.find("D/")) << log;
}

TEST(DaemonProcessTest, EndsWithMinusOneWhenItsControlSocketCannotBeOpened) {
  Daemon d(ConfigText(2));
  d.set_socket_path(d.dir() + "/missing/http2proxy");
  const pid_t pid = d.Spawn();
  ASSERT_GT(pid, 0);
  d.set_pid(pid);
  int status = 0;
  ASSERT_TRUE(d.WaitExit(5.0, &status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(255, WEXITSTATUS(status));
  EXPECT_NE(std::string::npos, d.Log().find("D/main(" + std::to_string(pid) +
                                            "): Unable to start FlowCompressListener\n"))
      << d.Log();
}

}  // namespace
