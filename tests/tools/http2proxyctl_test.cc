// The control client binary against a listener built from the host's sysutils layer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path).rdbuf();
  return ss.str();
}

class Http2proxyctlTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("HTTP2QUORVIN_SOCKET", path_.c_str(), 1);
    ASSERT_EQ(0, listener_->startListener());
    unsetenv("HTTP2QUORVIN_SOCKET");
  }

  // Starts the client (through the emulator when cross-built) with HTTP2QUORVIN_SOCKET set to
  // `socket_env`; standard output to `out`, standard error to the file "err".
  pid_t Spawn(const std::vector<std::string>& args, const std::string& socket_env, int out) {
    std::vector<std::string> words;
    std::istringstream emulator(QV_EMULATOR);
    for (std::string w; emulator >> w;)
      words.push_back(w);
    words.push_back(QV_CTL_PATH);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
      argv.push_back(&w[0]);
    argv.push_back(nullptr);
    std::string env = "HTTP2QUORVIN_SOCKET=" + socket_env;
    std::vector<char*> envp = {&env[0]};
    for (char** e = environ; *e != nullptr; ++e)
      envp.push_back(*e);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, dir_.File("err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  }
  static int ExitStatus(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  qvtest::ScratchDir dir_;
  std::string path_ = dir_.File("ctl");
  std::unique_ptr<qvtest::TestListener> listener_{new qvtest::TestListener("qvctl")};
};

TEST_F(Http2proxyctlTest, SendsOneCommandAndPrintsItsReply) {
  const std::string s = path_;
  const struct {
    std::vector<std::string> args;
    std::string socket_env;
    int status;
    const char* out;
    const char* err;  // part of standard error
  } cases[] = {
      {{"echo", "plain"}, s, 0, "1 2:[echo][plain]\n", ""},
      // Words reach the listener exactly as given, whatever they hold.
      {{"--socket", s, "echo", "a b", "say \"hi\"", "", "back\\slash", "tab\there", "--x"},
       "elsewhere",
       0,
       "1 7:[echo][a b][say \"hi\"][][back\\slash][tab\there][--x]\n",
       ""},
      {{"nosuch", "x"}, s, 1, "500 Command not recognized\n", ""},
      // A failing handler sends nothing: a clear message after the timeout.
      {{"--timeout", "0.3", "fail"}, s, 2, "", "no reply to \"fail\" within 0.3 s"},
      // Broadcasts that arrive first are not the reply.
      {{"bcast", "100", "connection succeed."}, s, 0, "1 sent\n", "broadcast: 100 connection"},
      {{"bcast", "500", "server disconnection"}, s, 0, "1 sent\n", "broadcast: 500 server"},
      {{"bcast", "602", "config rejected: empty body"}, s, 0, "1 sent\n", "broadcast: 602 config"},
      {{"echo"}, dir_.File("nothing"), 3, "", "cannot connect to"},
      {{}, s, 4, "", "usage:"},
      {{"--listen", "echo"}, s, 4, "", "usage:"},
      {{"--timeout", "soon", "echo"}, s, 4, "", "bad timeout"},
      {{"--bogus", "echo"}, s, 4, "", "unknown option --bogus"},
      // A known command that lacks a word or has a date that is not YYYY-MM-DD is refused at
      // once with its usage line: the daemon would not answer it.
      {{"query", "2026-01-01", "2026-01-31"},
       s,
       4,
       "",
       "usage: http2proxyctl [--socket PATH] query BEGIN END SIM"},
      {{"queryflow", "2026-1-01", "2026-01-31", ""}, s, 4, "", "\"2026-1-01\" is not a date"},
      {{"querydetail", "2026-01-01", "2026/01/31", ""}, s, 4, "", "querydetail BEGIN END SIM"},
      {{"querydetailflow", "2025-02-29", "2025-03-01", ""},
       s,
       4,
       "",
       "\"2025-02-29\" is not a date"},
      {{"query", "2026-13-01", "2026-12-01", ""}, s, 4, "", "is not a date"},
      {{"set"},
       s,
       4,
       "",
       "set needs 1 word, got 0\nusage: http2proxyctl [--socket PATH] set LEVEL"},
      {{"sim"}, s, 4, "", "usage: http2proxyctl [--socket PATH] sim SIM"},
      {{"deviceid"}, s, 4, "", "usage: http2proxyctl [--socket PATH] deviceid ID"},
      // Complete ones go to the daemon (which here knows none of them), an empty SIM included.
      {{"querydetail", "2024-02-29", "2024-03-01", ""}, s, 1, "500 Command not recognized\n", ""},
      {{"status", "extra"}, s, 1, "500 Command not recognized\n", ""},
      {{"--raw", "updateconfig"}, s, 1, "500 Command not recognized\n", ""},
  };
  for (const auto& c : cases) {
    int out = open(dir_.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = Spawn(c.args, c.socket_env, out);
    close(out);
    ASSERT_GT(pid, 0);
    int status = ExitStatus(pid);
    std::string what = c.args.empty() ? "(none)" : c.args.back();
    std::string err = ReadFile(dir_.File("err"));
    EXPECT_EQ(c.status, status) << what << ": " << err;
    EXPECT_EQ(c.out, ReadFile(dir_.File("out"))) << what;
    EXPECT_NE(std::string::npos, err.find(c.err)) << what << ": " << err;
  }
}

TEST_F(Http2proxyctlTest, ListenPrintsBroadcastsUntilInterrupted) {
  for (bool interrupt : {true, false}) {
    int out[2];
    ASSERT_EQ(0, pipe(out));
    pid_t pid = Spawn({"--listen"}, path_, out[1]);
    close(out[1]);
    ASSERT_GT(pid, 0);
    // A broadcast reaches only clients the listener has taken in: repeat the first until seen.
    std::string got;
    char buf[4096];
    for (int i = 0; i < 400 && got.empty(); ++i) {
      listener_->sendBroadcast(100, "connection succeed.", false);
      pollfd pfd = {out[0], POLLIN, 0};
      ssize_t n = poll(&pfd, 1, 50) > 0 ? read(out[0], buf, sizeof(buf)) : 0;
      got.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    listener_->sendBroadcast(400, "Disconnect for timeout.", false);
    const std::string tail = "400 Disconnect for timeout.\n";
    while (got.size() < tail.size() || got.compare(got.size() - tail.size(), tail.size(), tail)) {
      pollfd pfd = {out[0], POLLIN, 0};
      ASSERT_GT(poll(&pfd, 1, 10000), 0) << got;
      ssize_t n = read(out[0], buf, sizeof(buf));
      ASSERT_GT(n, 0) << got;
      got.append(buf, static_cast<size_t>(n));
    }
    // Whole lines only: the repeated first broadcast, then the second.
    const std::string first = "100 connection succeed.\n";
    for (size_t at = 0; at + tail.size() < got.size(); at += first.size())
      ASSERT_EQ(first, got.substr(at, first.size())) << got;
    if (interrupt) {
      ASSERT_EQ(0, kill(pid, SIGINT));
      EXPECT_EQ(0, ExitStatus(pid));
    } else {  // the daemon goes away
      listener_.reset();
      EXPECT_EQ(2, ExitStatus(pid));
      EXPECT_NE(std::string::npos, ReadFile(dir_.File("err")).find("closed the socket"));
    }
    close(out[0]);
  }
}

}  // namespace
