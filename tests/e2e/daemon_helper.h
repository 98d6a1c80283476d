#ifndef TESTS_E2E_DAEMON_HELPER_H
#define TESTS_E2E_DAEMON_HELPER_H

// The real daemon binary on a configuration, flow database and control socket of its own,
// driven with the real control client.

#include <map>
#include <string>
#include <vector>

#include "e2e/peers_helper.h"

namespace qvtest {

struct CtlResult {
  int exit_code = -1;
  std::string out;  // what http2proxyctl printed (the reply, or the broadcasts)
};

class DaemonUnderTest {
 public:
  // `settings` override keys of the test configuration (LISTEN_PORT is 0: the daemon takes a
  // free port, found with ListeningPorts).
  explicit DaemonUnderTest(const std::map<std::string, std::string>& settings);
  ~DaemonUnderTest();

  // Words that go before the daemon's command (for example a namespace wrapper that ends by
  // exec'ing it, so that the pid stays the daemon's). Before Start.
  void set_wrapper(const std::vector<std::string>& words) { wrapper_ = words; }
  // Spawns the daemon and waits for its control socket.
  bool Start();
  // SIGTERM, then the exit status.
  int Stop();

  // One command through http2proxyctl.
  CtlResult Ctl(const std::vector<std::string>& words);
  // "start", then the proxy's listening port (-1 when none appeared).
  int StartProxy();
  // The proxy's listening port now, -1 when there is none.
  int ProxyPort();

  // http2proxyctl --listen, printing the broadcasts into a file.
  bool StartListening();
  std::string Broadcasts() const;

  std::string Log() const { return ReadFile(dir_.File("daemon.err")); }
  const std::string& db_path() const { return db_; }
  pid_t pid() const { return daemon_.pid(); }
  const std::string& socket_path() const { return socket_; }
  TempDir& dir() { return dir_; }

 private:
  std::vector<std::string> Emulated(const std::string& program) const;

  TempDir dir_;
  // The flow database: in memory-backed storage when the host has it, since the daemon
  // commits a figure for every client read and write.
  TempDir db_dir_;
  std::string config_;
  std::string db_;
  std::string socket_;
  Process daemon_;
  Process listener_;
  std::vector<std::string> wrapper_;
};

// Today's date as the control commands take it ("YYYY-MM-DD").
std::string Today();

}  // namespace qvtest

#endif  // TESTS_E2E_DAEMON_HELPER_H
