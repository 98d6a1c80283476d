// Event loop and ring buffer throughput against baselines measured in the same run:
//  - ping-pong of small messages over N socketpairs driven by EpollServer versus a bare epoll
//    loop that does the same reads and writes (goal: EpollServer at 0.8 or more of the bare loop);
//  - RingByteBuffer write + read versus two plain memcpy calls through a buffer of the same size.
#include <benchmark/benchmark.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/epoll_server.h"
#include "net/ring_byte_buffer.h"

namespace {

const int kMessageSize = 32;
const int kEventsPerIteration = 4096;

// N socketpairs, each with one message in flight: whoever reads it sends it back.
class PairSet {
 public:
  explicit PairSet(int pairs) {
    char message[kMessageSize];
    memset(message, 'm', sizeof(message));
    for (int i = 0; i < pairs; ++i) {
      int sv[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0)
        abort();
      fds_.push_back(sv[0]);
      fds_.push_back(sv[1]);
      if (write(sv[0], message, sizeof(message)) != kMessageSize)
        abort();
    }
  }
  ~PairSet() {
    for (int fd : fds_)
      close(fd);
  }
  const std::vector<int>& fds() const { return fds_; }

 private:
  std::vector<int> fds_;
};

// Reads one message and sends it back over the same socket. Returns false on a short read.
inline bool Bounce(int fd) {
  char buf[kMessageSize];
  const ssize_t n = read(fd, buf, sizeof(buf));
  if (n <= 0)
    return false;
  return write(fd, buf, static_cast<size_t>(n)) == n;
}

class BounceCallback : public EpollCallback {
 public:
  explicit BounceCallback(long* handled) : handled_(handled) {}
  void OnRegistration(EpollServer*, int, int) override {}
  void OnModification(int, int) override {}
  void OnEvent(int fd, EpollEvent* event) override {
    if ((event->in_events & EPOLLIN) && Bounce(fd))
      ++*handled_;
  }
  void OnUnregistration(int, bool) override {}
  void OnShutdown(EpollServer*, int) override {}

 private:
  long* handled_;
};

// The same work with epoll_wait and a direct call, nothing else.
class BareLoop {
 public:
  explicit BareLoop(const std::vector<int>& fds) : epfd_(epoll_create1(0)) {
    for (int fd : fds) {
      struct epoll_event ee;
      memset(&ee, 0, sizeof(ee));
      ee.events = EPOLLIN | EPOLLERR | EPOLLHUP;
      ee.data.fd = fd;
      epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ee);
    }
  }
  ~BareLoop() { close(epfd_); }
  void RunOnce() {
    const int n = epoll_wait(epfd_, events_, 256, 100);
    for (int i = 0; i < n; ++i) {
      if ((events_[i].events & EPOLLIN) && Bounce(events_[i].data.fd))
        ++handled;
    }
  }
  long handled = 0;

 private:
  int epfd_;
  struct epoll_event events_[256];
};

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Both loops run in turns within every iteration, each on its own socketpairs, so that the
// load of a shared machine weighs on both alike. Reports both rates and their ratio.
void BM_PingPong(benchmark::State& state) {
  const int pairs = static_cast<int>(state.range(0));
  PairSet server_pairs(pairs);
  PairSet bare_pairs(pairs);
  long handled = 0;
  BounceCallback cb(&handled);
  EpollServer eps(4096);
  for (int fd : server_pairs.fds())
    eps.RegisterFD(fd, &cb, EPOLLIN);
  BareLoop bare(bare_pairs.fds());
  std::chrono::steady_clock::duration server_time{};
  std::chrono::steady_clock::duration bare_time{};
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    const long target = handled + kEventsPerIteration;
    while (handled < target) {
      eps.set_timeout_in_us(100000);
      eps.WaitForEventsAndExecuteCallbacks();
    }
    auto t1 = std::chrono::steady_clock::now();
    const long bare_target = bare.handled + kEventsPerIteration;
    while (bare.handled < bare_target)
      bare.RunOnce();
    auto t2 = std::chrono::steady_clock::now();
    server_time += t1 - t0;
    bare_time += t2 - t1;
  }
  const double server_rate = static_cast<double>(handled) / Seconds(server_time);
  const double bare_rate = static_cast<double>(bare.handled) / Seconds(bare_time);
  state.counters["server_events/s"] = server_rate;
  state.counters["bare_events/s"] = bare_rate;
  state.counters["ratio"] = server_rate / bare_rate;
  for (int fd : server_pairs.fds())
    eps.UnregisterFD(fd);
}

BENCHMARK(BM_PingPong)->Arg(16)->Arg(256)->UseRealTime();

// Bytes pass through the ring in chunks of range(0) bytes: one Write, one Read.
void BM_RingWriteRead(benchmark::State& state) {
  const int chunk = static_cast<int>(state.range(0));
  RingByteBuffer ring(10240);
  std::vector<char> in(static_cast<size_t>(chunk), 'r');
  std::vector<char> out(static_cast<size_t>(chunk));
  for (auto _ : state) {
    ring.Write(in.data(), chunk);
    ring.Read(out.data(), chunk);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}

// As the connections use it: recv-like copy into the writable region, parser-like copy out of
// the readable region.
void BM_RingInPlace(benchmark::State& state) {
  const int chunk = static_cast<int>(state.range(0));
  RingByteBuffer ring(10240);
  std::vector<char> in(static_cast<size_t>(chunk), 'r');
  std::vector<char> out(static_cast<size_t>(chunk));
  for (auto _ : state) {
    int left = chunk;
    while (left > 0) {
      char* p;
      int size;
      ring.GetWritableRegion(&p, &size);
      const int n = size < left ? size : left;
      memcpy(p, in.data() + (chunk - left), static_cast<size_t>(n));
      ring.Commit(n);
      left -= n;
    }
    left = chunk;
    while (left > 0) {
      char* p;
      int size;
      ring.GetReadableRegion(&p, &size);
      const int n = size < left ? size : left;
      memcpy(out.data() + (chunk - left), p, static_cast<size_t>(n));
      ring.Consume(n);
      left -= n;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}

// Baseline: the same two copies through a staging buffer of the ring's size, wrapping at its
// end as the ring does.
void BM_Memcpy(benchmark::State& state) {
  const int chunk = static_cast<int>(state.range(0));
  std::vector<char> staging(10240);
  std::vector<char> in(static_cast<size_t>(chunk), 'r');
  std::vector<char> out(static_cast<size_t>(chunk));
  size_t offset = 0;
  for (auto _ : state) {
    if (offset + static_cast<size_t>(chunk) > staging.size())
      offset = 0;
    memcpy(staging.data() + offset, in.data(), static_cast<size_t>(chunk));
    benchmark::ClobberMemory();
    memcpy(out.data(), staging.data() + offset, static_cast<size_t>(chunk));
    offset += static_cast<size_t>(chunk);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}

BENCHMARK(BM_RingWriteRead)->Arg(64)->Arg(1460)->Arg(4096);
BENCHMARK(BM_RingInPlace)->Arg(64)->Arg(1460)->Arg(4096);
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(1460)->Arg(4096);

// Keeps the counters of every run so the ratios can be printed at the end.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      for (const auto& counter : run.counters)
        counters[run.benchmark_name()][counter.first] = counter.second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // The value of a counter; with --benchmark_repetitions, the median.
  double Get(const std::string& run, const std::string& counter) const {
    for (const std::string& name : {run + "_median", run}) {
      auto r = counters.find(name);
      if (r == counters.end())
        continue;
      auto c = r->second.find(counter);
      if (c != r->second.end())
        return c->second;
    }
    return 0;
  }

 private:
  std::map<std::string, std::map<std::string, double>> counters;
};

void PrintRatio(const std::string& label, double ours, double base, const char* unit, double scale,
                const char* goal) {
  if (ours <= 0 || base <= 0)
    return;
  printf("%-40s %10.1f vs %10.1f %s  ratio %.2f%s\n", label.c_str(), ours / scale, base / scale,
         unit, ours / base, goal);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\n");
  for (const char* pairs : {"16", "256"}) {
    const std::string run = std::string("BM_PingPong/") + pairs + "/real_time";
    PrintRatio(std::string("ping-pong, ") + pairs + " pairs (EpollServer/bare)",
               reporter.Get(run, "server_events/s"), reporter.Get(run, "bare_events/s"),
               "k events/s", 1e3, "  (goal >= 0.8)");
  }
  for (const char* chunk : {"64", "1460", "4096"}) {
    const double base = reporter.Get(std::string("BM_Memcpy/") + chunk, "bytes_per_second");
    PrintRatio(std::string("ring Write+Read, ") + chunk + " B (ring/memcpy)",
               reporter.Get(std::string("BM_RingWriteRead/") + chunk, "bytes_per_second"), base,
               "MB/s", 1e6, "");
    PrintRatio(std::string("ring in place, ") + chunk + " B (ring/memcpy)",
               reporter.Get(std::string("BM_RingInPlace/") + chunk, "bytes_per_second"), base,
               "MB/s", 1e6, "");
  }
  benchmark::Shutdown();
  return 0;
}
