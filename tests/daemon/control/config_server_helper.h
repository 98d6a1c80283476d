#ifndef TESTS_DAEMON_CONTROL_CONFIG_SERVER_HELPER_H
#define TESTS_DAEMON_CONTROL_CONFIG_SERVER_HELPER_H

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/config_updater.h"

// The whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// `text` (a section header and some key lines) followed by every key the daemon reads that it
// does not set, at the shipped file's values: what a download must hold to be taken.
std::string CompleteConfig(const std::string& text);

// Keeps every outcome an update reports.
class OutcomeRecorder : public UpdateConfigListener {
 public:
  void OnUpdateConfigDone(const UpdateConfigOutcome& outcome) override {
    std::lock_guard<std::mutex> lock(mutex);
    outcomes.push_back(outcome);
  }
  std::mutex mutex;
  std::vector<UpdateConfigOutcome> outcomes;
};

// A loopback HTTP server on a free port that answers each request path with raw bytes, one
// connection at a time, then closes the connection (or holds it open until Release).
class CannedHttpServer {
 public:
  struct Reply {
    std::string raw;
    bool hold;
  };

  CannedHttpServer();
  ~CannedHttpServer();

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  void Set(const std::string& path, const Reply& reply);
  // Closes held connections, now and from now on.
  void Release();
  // Waits until `count` request heads have arrived (false after ten seconds).
  bool WaitForRequests(size_t count);
  std::vector<std::string> requests();

 private:
  void Serve();

  int listen_fd_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Reply> replies_;
  std::vector<std::string> requests_;
  bool released_ = false;
  std::thread thread_;
};

#endif  // TESTS_DAEMON_CONTROL_CONFIG_SERVER_HELPER_H
