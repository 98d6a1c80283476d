#ifndef TESTS_LOAD_LOAD_RUNNER_H
#define TESTS_LOAD_LOAD_RUNNER_H

#include <netinet/in.h>
#include <openssl/ssl.h>
#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "load/load_stats.h"
#include "load/request_plan.h"

class LoadConnection;

struct LoadSettings {
  bool direct = false;     // talk to the origins themselves instead of through a proxy
  sockaddr_in proxy{};     // the forward proxy (unless direct)
  int timeout_ms = 60000;  // a request without progress for this long has failed
  int ramp_ms = 0;         // the connections start spread over this time, not all at once
};

// One thread's share of a load run: its connections on one epoll loop. Requests are taken from
// a counter shared by every runner until the run's total is reached.
class LoadRunner {
 public:
  LoadRunner(const RequestPlan* plan, const LoadSettings& settings, std::atomic<uint64_t>* next_id,
             uint64_t total);
  ~LoadRunner();

  LoadRunner(const LoadRunner&) = delete;
  LoadRunner& operator=(const LoadRunner&) = delete;

  // Runs `connections` concurrent clients until every request of the run is taken and ended.
  // False when the loop itself could not be set up.
  bool Run(int connections);

  bool TakeId(uint64_t* id);
  // A connection whose request ended; it takes its next one from the loop, not from inside
  // its own event handling.
  void Ready(LoadConnection* connection) { ready_.push_back(connection); }

  const RequestPlan& plan() const { return *plan_; }
  const LoadSettings& settings() const { return settings_; }
  LoadStats& stats() { return stats_; }
  int epoll_fd() const { return epoll_fd_; }
  SSL_CTX* ssl_ctx() const { return ssl_ctx_; }
  std::unordered_map<size_t, std::string>* digest_cache() { return &digests_; }
  // Requests in flight: +1 when a connection starts one, -1 when it ends.
  void CountStarted() { ++busy_; }
  void CountEnded() { --busy_; }

 private:
  const RequestPlan* plan_;
  LoadSettings settings_;
  std::atomic<uint64_t>* next_id_;
  uint64_t total_;
  int epoll_fd_ = -1;
  SSL_CTX* ssl_ctx_ = nullptr;
  LoadStats stats_;
  std::unordered_map<size_t, std::string> digests_;
  std::vector<std::unique_ptr<LoadConnection>> connections_;
  std::vector<LoadConnection*> ready_;
  long busy_ = 0;
};

#endif  // TESTS_LOAD_LOAD_RUNNER_H
