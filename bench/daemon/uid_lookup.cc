// What finding a client's UID costs with 1,000 idle loopback connections open beside it (2,000
// sockets in the kernel's tables, as a phone with many open connections has):
//  - the exact sock_diag request for the connection's own addresses, as the daemon asks it,
//    with the addresses it has from accept4 and the listener;
//  - the same after getsockname and getpeername, as a lookup that has only the descriptor;
//  - a sock_diag dump filtered by the port (the kernel walks its tables);
//  - the text tables tcp6 and tcp, read and searched.
// Prints each one's time per lookup and its ratio to the exact request.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "control/sock_diag_client.h"
#include "control/tcp_uid_lookup.h"

namespace {

const int kIdle = 1000;

// A listener, `kIdle` idle client connections to it, and the one connection that is looked up.
class Connections {
 public:
  Connections() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4 * kIdle + 64) {
      limit.rlim_cur = limit.rlim_max < 4 * kIdle + 64 ? limit.rlim_max : 4 * kIdle + 64;
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listener_, 4096) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      abort();
    for (int i = 0; i <= kIdle; ++i) {
      const int client = socket(AF_INET, SOCK_STREAM, 0);
      if (client < 0 || connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        abort();
      const int accepted = accept(listener_, nullptr, nullptr);
      if (accepted < 0)
        abort();
      fds_.push_back(client);
      fds_.push_back(accepted);
    }
    // The last one is the connection looked up.
    accepted_ = fds_.back();
    len = sizeof(client_);
    getpeername(accepted_, reinterpret_cast<sockaddr*>(&client_), &len);
    len = sizeof(local_);
    getsockname(accepted_, reinterpret_cast<sockaddr*>(&local_), &len);
    port_ = ntohs(client_.sin_port);
    // The text tables through a folder of their own, so that TcpUidLookup reads them.
    char folder[] = "/tmp/qv_uid_bench.XXXXXX";
    if (mkdtemp(folder) == nullptr)
      abort();
    folder_ = folder;
    if (symlink("/proc/net/tcp", (folder_ + "/tcp").c_str()) != 0 ||
        symlink("/proc/net/tcp6", (folder_ + "/tcp6").c_str()) != 0)
      abort();
  }
  ~Connections() {
    for (int fd : fds_)
      close(fd);
    close(listener_);
    unlink((folder_ + "/tcp").c_str());
    unlink((folder_ + "/tcp6").c_str());
    rmdir(folder_.c_str());
  }

  int accepted() const { return accepted_; }
  int port() const { return port_; }
  const sockaddr* client() const { return reinterpret_cast<const sockaddr*>(&client_); }
  const sockaddr* local() const { return reinterpret_cast<const sockaddr*>(&local_); }
  const std::string& folder() const { return folder_; }

 private:
  int listener_ = -1;
  std::vector<int> fds_;
  int accepted_ = -1;
  int port_ = 0;
  sockaddr_in client_ = {};
  sockaddr_in local_ = {};
  std::string folder_;
};

Connections* connections() {
  static Connections* c = new Connections;
  return c;
}

void Expect(benchmark::State& state, int uid) {
  if (uid != static_cast<int>(getuid()))
    state.SkipWithError("the lookup did not find this process's UID");
}

void BM_ExactByAddresses(benchmark::State& state) {
  Connections* c = connections();
  SockDiagClient diag;
  for (auto _ : state) {
    const int uid = diag.PeerUid(c->client(), c->local());
    benchmark::DoNotOptimize(uid);
    Expect(state, uid);
  }
}

void BM_ExactByDescriptor(benchmark::State& state) {
  Connections* c = connections();
  SockDiagClient diag;
  for (auto _ : state) {
    const int uid = diag.PeerUid(c->accepted());
    benchmark::DoNotOptimize(uid);
    Expect(state, uid);
  }
}

void BM_DumpByPort(benchmark::State& state) {
  Connections* c = connections();
  SockDiagClient diag;
  for (auto _ : state) {
    const int uid = diag.Uid(c->port());
    benchmark::DoNotOptimize(uid);
    Expect(state, uid);
  }
}

void BM_TextTables(benchmark::State& state) {
  Connections* c = connections();
  const TcpUidLookup tables(c->folder());
  for (auto _ : state) {
    const int uid = tables.Find(c->port());
    benchmark::DoNotOptimize(uid);
    Expect(state, uid);
  }
}

BENCHMARK(BM_ExactByAddresses);
BENCHMARK(BM_ExactByDescriptor);
BENCHMARK(BM_DumpByPort);
BENCHMARK(BM_TextTables);

class TimeReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      ns[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> ns;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  TimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double exact = reporter.ns["BM_ExactByAddresses"];
  printf(
      "\nUID lookup with %d idle connections open (time per lookup, ratio to the exact request)\n",
      kIdle);
  for (const char* name :
       {"BM_ExactByAddresses", "BM_ExactByDescriptor", "BM_DumpByPort", "BM_TextTables"}) {
    const double t = reporter.ns[name];
    if (t > 0 && exact > 0)
      printf("  %-22s %10.1f us  %7.2f\n", name + 3, t / 1e3, t / exact);
  }
  benchmark::Shutdown();
  return 0;
}
