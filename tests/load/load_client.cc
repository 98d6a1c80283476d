// load_client: many concurrent HTTP clients through a forward proxy (or straight to the origins),
// each reply checked against what its request must get.
//
//   load_client --proxy HOST:PORT | --direct
//               --origin HOST:PORT[,HOST:PORT...] [--https-origin HOST:PORT[,...]]
//               [--clients N] [--requests M] [--threads T] [--mix small=55,big=5,upload=15,
//               keepalive=15,tunnel=10,unframed=0] [--big-size BYTES] [--seed S] [--timeout-ms MS]
//               [--ramp-ms MS] [--progress SECONDS] [--allow-closed]
//
// The origins are tests/e2e/origin.js servers. Requests mix small replies (/size/N, the fixed
// pages), BIG-SIZE replies (1 MB by default), uploads (POST, echoed; some chunked), keep-alive
// attempts (the next request tries the same connection and goes again on a new one when the
// proxy closed it), CONNECT tunnels to the HTTPS origins (TLS inside, a GET or an upload) and,
// when asked for, the page the origin sends chunked, which a proxy hands on framed by its close.
// Every reply must have status 200, the x-path it asked for, the body length and SHA-256 the
// request implies and that "x-body-sha256" states.
//
// Prints one JSON line of figures on standard output: requests, ok, corrupted, misrouted,
// truncated_as_complete, closed, failed, keep-alive reconnects, bytes, seconds, rps, latency,
// per-kind outcomes and a few described failures. With --progress, a line
// {"done":N,"seconds":S} on standard error every S seconds.
// Exit status: 0 when every request was ok (closed ones allowed with --allow-closed), 1 when a
// reply was corrupted, misrouted or truncated yet presented as complete, 2 for any other
// failure, 3 for bad usage or a start that failed.
#include <arpa/inet.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "load/load_runner.h"
#include "load/load_stats.h"
#include "load/request_plan.h"

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    if (comma == std::string::npos)
      comma = text.size();
    if (comma > at)
      out.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  return out;
}

int Usage(const char* why) {
  fprintf(stderr, "load_client: %s (see the comment at the top of load_client.cc)\n", why);
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  LoadSettings settings;
  std::vector<std::string> origins;
  std::vector<std::string> https_origins;
  RequestPlan::Mix mix;
  int clients = 100;
  long long requests = 1000;
  int threads = 1;
  size_t big_size = 1 << 20;
  uint64_t seed = 1;
  double progress = 0;
  bool allow_closed = false;
  bool have_proxy = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const bool has_value = i + 1 < argc;
    const std::string value = has_value ? argv[i + 1] : "";
    if (flag == "--direct") {
      settings.direct = true;
      continue;
    }
    if (flag == "--allow-closed") {
      allow_closed = true;
      continue;
    }
    if (!has_value)
      return Usage(("missing value for " + flag).c_str());
    ++i;
    if (flag == "--proxy") {
      const size_t colon = value.rfind(':');
      settings.proxy.sin_family = AF_INET;
      settings.proxy.sin_port = htons(static_cast<uint16_t>(atoi(value.c_str() + colon + 1)));
      if (colon == std::string::npos ||
          inet_pton(AF_INET, value.substr(0, colon).c_str(), &settings.proxy.sin_addr) != 1)
        return Usage("--proxy takes a numeric IPv4 HOST:PORT");
      have_proxy = true;
    } else if (flag == "--origin") {
      origins = SplitList(value);
    } else if (flag == "--https-origin") {
      https_origins = SplitList(value);
    } else if (flag == "--clients") {
      clients = atoi(value.c_str());
    } else if (flag == "--requests") {
      requests = atoll(value.c_str());
    } else if (flag == "--threads") {
      threads = atoi(value.c_str());
    } else if (flag == "--mix") {
      if (!RequestPlan::ParseMix(value, &mix))
        return Usage("bad --mix");
    } else if (flag == "--big-size") {
      big_size = static_cast<size_t>(atoll(value.c_str()));
    } else if (flag == "--seed") {
      seed = strtoull(value.c_str(), nullptr, 10);
    } else if (flag == "--timeout-ms") {
      settings.timeout_ms = atoi(value.c_str());
    } else if (flag == "--ramp-ms") {
      settings.ramp_ms = atoi(value.c_str());
    } else if (flag == "--progress") {
      progress = atof(value.c_str());
    } else {
      return Usage(("unknown flag " + flag).c_str());
    }
  }
  if (origins.empty() || (!have_proxy && !settings.direct) || clients < 1 || requests < 0 ||
      threads < 1 || big_size < 1)
    return Usage("needs --origin and one of --proxy or --direct");

  // Every client holds a socket, and a tunnel's TLS session on top.
  rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }

  RequestPlan plan(seed, mix, origins, https_origins, big_size, settings.direct);
  std::string error;
  if (!plan.LearnFixedPages(&error)) {
    fprintf(stderr, "load_client: %s\n", error.c_str());
    return 3;
  }

  std::atomic<uint64_t> next_id{0};
  std::vector<std::unique_ptr<LoadRunner>> runners;
  for (int t = 0; t < threads; ++t)
    runners.emplace_back(
        new LoadRunner(&plan, settings, &next_id, static_cast<uint64_t>(requests)));
  const double start = Now();
  std::atomic<int> running{threads};
  std::vector<std::thread> workers;
  bool setup_failed = false;
  std::atomic<bool> failed{false};
  for (int t = 0; t < threads; ++t) {
    const int share = clients / threads + (t < clients % threads ? 1 : 0);
    workers.emplace_back([&, t, share] {
      if (share > 0 && !runners[t]->Run(share))
        failed = true;
      --running;
    });
  }
  if (progress > 0) {
    while (running > 0) {
      const double until = Now() + progress;
      while (running > 0 && Now() < until)
        usleep(20000);
      const uint64_t taken = next_id.load();
      fprintf(stderr, "{\"taken\":%llu,\"seconds\":%.1f}\n",
              static_cast<unsigned long long>(taken < static_cast<uint64_t>(requests)
                                                  ? taken
                                                  : static_cast<uint64_t>(requests)),
              Now() - start);
    }
  }
  for (std::thread& w : workers)
    w.join();
  setup_failed = failed;
  const double seconds = Now() - start;
  LoadStats total;
  for (auto& r : runners)
    total.Merge(r->stats());
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  printf("%s\n", total.Json(seconds, cpu).c_str());
  fflush(stdout);
  if (setup_failed)
    return 3;
  if (total.outcomes[kCorrupted] + total.outcomes[kMisrouted] +
          total.outcomes[kTruncatedAsComplete] >
      0)
    return 1;
  if (total.outcomes[kFailed] > 0 || (!allow_closed && total.outcomes[kClosed] > 0))
    return 2;
  return 0;
}
