#ifndef TESTS_LOAD_LOAD_STATS_H
#define TESTS_LOAD_LOAD_STATS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "load/request_plan.h"

// How each request of a load run ended. Only kOk is a correct reply; kClosed is a connection
// that ended before its reply was complete (by its Content-Length), which a client can tell.
// The three after kOk are the faults a proxy must never commit: a wrong body, another request's
// reply, a cut body presented as complete.
enum Outcome {
  kOk,
  kCorrupted,
  kMisrouted,
  kTruncatedAsComplete,
  kClosed,
  kFailed,  // no connection, a non-200 status, a time-out, an unreadable reply head
  kOutcomeCount,
};

const char* OutcomeName(Outcome outcome);

struct LoadStats {
  uint64_t outcomes[kOutcomeCount] = {};
  uint64_t by_kind[LoadRequest::kKindCount][kOutcomeCount] = {};
  uint64_t keepalive_reconnects = 0;  // a reused connection had been closed: sent again
  uint64_t keepalive_reused = 0;      // a second reply came on one connection
  uint64_t bytes_in = 0;
  uint64_t bytes_out = 0;
  std::vector<float> latency_ms;     // of the kOk requests
  std::vector<std::string> samples;  // the first few requests that were not kOk, described

  void Add(LoadRequest::Kind kind, Outcome outcome, double latency, const std::string& why);
  void Merge(const LoadStats& other);
  uint64_t total() const;
  // One JSON object with every figure, with the client's own CPU seconds.
  std::string Json(double seconds, double cpu_seconds) const;
};

#endif  // TESTS_LOAD_LOAD_STATS_H
