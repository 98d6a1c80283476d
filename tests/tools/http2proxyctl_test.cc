// The control client binary against a listener built from the host's sysutils layer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "port/sysutils/control_socket_util.h"
#include "port/sysutils/test_listener.h"

namespace {

struct Result {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The command line of the client, emulator first when cross-built.
std::vector<std::string> CtlWords(const std::vector<std::string>& args) {
  std::vector<std::string> words;
  std::istringstream emulator(QV_EMULATOR);
  for (std::string w; emulator >> w;)
    words.push_back(w);
  words.push_back(QV_CTL_PATH);
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

// Starts the client; its standard output goes to `out_fd` (or a file), standard error to a file.
pid_t Spawn(const std::vector<std::string>& args, const std::string& socket_env, int out_fd,
            const std::string& out_path, const std::string& err_path) {
  std::vector<std::string> words = CtlWords(args);
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(&w[0]);
  argv.push_back(nullptr);
  std::string env_line = "HTTP2QUORVIN_SOCKET=" + socket_env;
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e)
    if (strncmp(*e, "HTTP2QUORVIN_SOCKET=", 20) != 0)
      envp.push_back(*e);
  if (!socket_env.empty())
    envp.push_back(&env_line[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
  else
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitStatus(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    return -1;
  return WEXITSTATUS(status);
}

class Http2proxyctlTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("ctl");
    setenv("HTTP2QUORVIN_SOCKET", path_.c_str(), 1);
    listener_.reset(new qvtest::TestListener("qvctl"));
    ASSERT_EQ(0, listener_->startListener());
    unsetenv("HTTP2QUORVIN_SOCKET");
  }

  Result Run(const std::vector<std::string>& args, const std::string& socket_env = "") {
    Result r;
    pid_t pid = Spawn(args, socket_env, -1, dir_.File("out"), dir_.File("err"));
    EXPECT_GT(pid, 0);
    if (pid <= 0)
      return r;
    r.status = WaitStatus(pid);
    r.out = ReadFile(dir_.File("out"));
    r.err = ReadFile(dir_.File("err"));
    return r;
  }

  qvtest::ScratchDir dir_;
  std::string path_;
  std::unique_ptr<qvtest::TestListener> listener_;
};

TEST_F(Http2proxyctlTest, SendsOneCommandAndPrintsItsReply) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;  // part of standard error, or ""
  };
  const std::string s = path_;
  const Case cases[] = {
      {{"--socket", s, "echo", "plain"}, 0, "1 2:[echo][plain]\n", ""},
      // Words come back exactly as given, whatever they hold.
      {{"--socket", s, "echo", "a b", "say \"hi\"", "", "back\\slash", "tab\there", "--x"},
       0,
       "1 7:[echo][a b][say \"hi\"][][back\\slash][tab\there][--x]\n",
       ""},
      {{"--socket", s, "nosuch", "x"}, 1, "500 Command not recognized\n", ""},
      // A handler that fails sends nothing: a clear message and a failure after the timeout.
      {{"--socket", s, "--timeout", "0.3", "fail"}, 2, "", "no reply to \"fail\" within 0.3 s"},
      // Broadcasts that come first are not the reply.
      {{"--socket", s, "bcast", "100", "connection succeed."},
       0,
       "1 sent\n",
       "broadcast: 100 connection succeed."},
      {{"--socket", s, "bcast", "500", "server disconnection"}, 0, "1 sent\n", "broadcast: 500"},
      {{"--socket", dir_.File("nothing"), "echo"}, 3, "", "cannot connect to"},
      {{}, 4, "", "usage:"},
      {{"--socket", s, "--listen", "echo"}, 4, "", "usage:"},
      {{"--socket", s, "--timeout", "soon", "echo"}, 4, "", "bad timeout"},
      {{"--socket"}, 4, "", "usage:"},
      {{"--bogus", "echo"}, 4, "", "unknown option --bogus"},
  };
  for (const Case& c : cases) {
    Result r = Run(c.args);
    std::string what = c.args.empty() ? "(no words)" : c.args.back();
    EXPECT_EQ(c.status, r.status) << what << ": " << r.err;
    EXPECT_EQ(c.out, r.out) << what;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << what << ": " << r.err;
  }
}

TEST_F(Http2proxyctlTest, SocketFromTheEnvironment) {
  Result r = Run({"echo", "env"}, path_);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("1 2:[echo][env]\n", r.out);
  // --socket wins over the variable.
  r = Run({"--socket", path_, "echo"}, dir_.File("elsewhere"));
  EXPECT_EQ(0, r.status) << r.err;
}

TEST_F(Http2proxyctlTest, ListenPrintsBroadcastsUntilInterrupted) {
  int pipe_fds[2];
  ASSERT_EQ(0, pipe(pipe_fds));
  pid_t pid = Spawn({"--socket", path_, "--listen"}, "", pipe_fds[1], "", dir_.File("err"));
  close(pipe_fds[1]);
  ASSERT_GT(pid, 0);

  // Until the listener has taken the client in, a broadcast reaches no one: repeat the first.
  std::string got;
  char buf[4096];
  for (int i = 0; i < 400 && got.find('\n') == std::string::npos; ++i) {
    listener_->sendBroadcast(100, "connection succeed.", false);
    pollfd pfd = {pipe_fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 50) > 0) {
      ssize_t n = read(pipe_fds[0], buf, sizeof(buf));
      if (n > 0)
        got.append(buf, static_cast<size_t>(n));
    }
  }
  ASSERT_EQ(0u, got.find("100 connection succeed.\n")) << got;
  listener_->sendBroadcast(400, "Disconnect for timeout.", false);
  listener_->sendBroadcast(500, "server disconnection", false);
  const std::string tail = "400 Disconnect for timeout.\n500 server disconnection\n";
  while (got.find(tail) == std::string::npos) {
    pollfd pfd = {pipe_fds[0], POLLIN, 0};
    ASSERT_GT(poll(&pfd, 1, 10000), 0) << got;
    ssize_t n = read(pipe_fds[0], buf, sizeof(buf));
    ASSERT_GT(n, 0);
    got.append(buf, static_cast<size_t>(n));
  }
  // Whole lines only: the repeated first broadcast, then the other two once each.
  ASSERT_EQ(got.size() - tail.size(), got.find(tail));
  std::string head = got.substr(0, got.size() - tail.size());
  const std::string first = "100 connection succeed.\n";
  for (size_t at = 0; at < head.size(); at += first.size())
    ASSERT_EQ(first, head.substr(at, first.size())) << got;

  ASSERT_EQ(0, kill(pid, SIGINT));
  EXPECT_EQ(0, WaitStatus(pid));
  close(pipe_fds[0]);

  // When the daemon goes away the listening client ends with a failure.
  int out[2];
  ASSERT_EQ(0, pipe(out));
  pid = Spawn({"--socket", path_, "--listen"}, "", out[1], "", dir_.File("err2"));
  close(out[1]);
  ASSERT_GT(pid, 0);
  // Its "listening" line is written once it is connected.
  for (int i = 0; i < 400 && ReadFile(dir_.File("err2")).find("listening on") == std::string::npos;
       ++i)
    usleep(25000);
  listener_.reset();
  EXPECT_EQ(2, WaitStatus(pid));
  EXPECT_NE(std::string::npos, ReadFile(dir_.File("err2")).find("closed the socket"));
  close(out[0]);
}

}  // namespace
