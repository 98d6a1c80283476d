#ifndef TESTS_E2E_PEERS_HELPER_H
#define TESTS_E2E_PEERS_HELPER_H

// The real programs the proxy tests run against: the origin, the test gateway and curl, all
// started by the test itself on free ports, and a few checks on what they produced.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace qvtest {

// A folder made with mkdtemp, removed with its contents at destruction.
class TempDir {
 public:
  // Under $TMPDIR (or /tmp), or under `base` when given.
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child process with its standard output and error in files. Killed at destruction.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // `env` entries ("NAME=value") replace inherited ones of the same name; a bare "NAME="
  // with an empty value removes it.
  bool Spawn(const std::vector<std::string>& argv, const std::string& out_path,
             const std::string& err_path, const std::vector<std::string>& env = {});
  // Sends `signo` and waits up to `timeout_s`; then SIGKILL. Returns the wait status.
  int Stop(int signo, double timeout_s);
  // Waits for the end; -1 when it did not end in time (it is then still running).
  int Wait(double timeout_s);
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& data);
std::vector<std::string> Lines(const std::string& text);
double NowSeconds();
// Polls `pred` every 20 ms until it holds or `timeout_s` passed.
template <typename Pred>
bool WaitUntil(Pred pred, double timeout_s);

// The first complete line of a file, waiting for it up to `timeout_s`; empty on time-out.
std::string WaitForFirstLine(const std::string& path, double timeout_s);
// The integer value of `"key":N` in a JSON text; -1 when absent.
long long JsonNumber(const std::string& json, const std::string& key);

// tests/e2e/origin.js: plain HTTP and HTTPS on loopback.
class Origin {
 public:
  bool Start(const TempDir& dir);
  int http_port() const { return http_port_; }
  pid_t pid() const { return process_.pid(); }
  int https_port() const { return https_port_; }
  std::string Url(const std::string& path) const;
  std::string HttpsUrl(const std::string& path) const;

 private:
  Process process_;
  int http_port_ = -1;
  int https_port_ = -1;
};

// tools/gateway/gateway.js with a JSON-lines event log.
class Gateway {
 public:
  bool Start(const TempDir& dir, const std::vector<std::string>& flags = {},
             const std::string& name = "gateway");
  void Stop();
  int port() const { return port_; }
  pid_t pid() const { return process_.pid(); }
  const std::string& log_path() const { return log_path_; }
  // The events of the log whose "ev" is `ev` (all when empty).
  std::vector<std::string> Events(const std::string& ev = "") const;

 private:
  Process process_;
  int port_ = -1;
  std::string log_path_;
};

struct CurlResult {
  int exit_code = -1;   // curl's exit status; -1 when it could not run or was killed
  std::string headers;  // every response head curl saw (-D)
  std::string body;
  std::string stderr_text;
  std::string written;  // what -w printed
};

// Runs curl with `args` (the URL included), the body to a file, the heads to another.
// `prefix` goes before "curl" (for example a setpriv command).
CurlResult RunCurl(const TempDir& dir, const std::vector<std::string>& args, double timeout_s = 90,
                   const std::vector<std::string>& prefix = {});

// Several curls at once; each entry is one argument list.
std::vector<CurlResult> RunCurls(const TempDir& dir,
                                 const std::vector<std::vector<std::string>>& arg_lists,
                                 double timeout_s = 90);

// The value of the last `name:` line of the last head in `headers`, case-insensitive.
std::string HeaderValue(const std::string& headers, const std::string& name);
// The status code of the last head in `headers`.
int StatusCode(const std::string& headers);

std::string Sha256Hex(const std::string& data);
// Deterministic bytes for request bodies.
std::string PatternBytes(size_t n, unsigned seed);

// TCP ports on which `pid` (0: this process) has a listening IPv4 socket.
std::vector<int> ListeningPorts(pid_t pid);
// A loopback port on which nothing listens: a socket is bound there (and kept bound by the
// returned descriptor, so nobody else takes it) but never listens, so connects are refused.
int RefusingPort(int* fd);

// A plain TCP client for cases curl cannot express.
int ConnectLoopback(int port);
// Waits until the peer closes (recv 0 or error); returns the seconds waited, -1 on time-out.
double WaitForClose(int fd, double timeout_s);

// How often `what` occurs in `text`, overlaps counted.
int CountOf(const std::string& text, const std::string& what);

// A test suite whose tests share one origin and one test gateway, started for the suite.
class PeersSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();

  static TempDir* dir_;
  static Origin* origin_;
  static Gateway* gateway_;
};

template <typename Pred>
bool WaitUntil(Pred pred, double timeout_s) {
  const double end = NowSeconds() + timeout_s;
  for (;;) {
    if (pred())
      return true;
    if (NowSeconds() > end)
      return false;
    struct timespec ts = {0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
}

}  // namespace qvtest

#endif  // TESTS_E2E_PEERS_HELPER_H
