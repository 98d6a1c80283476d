// Load through the daemon binary: many concurrent clients (tests/load/load_client) through the
// proxy, the test gateway and one or more origins, every reply checked against its path,
// length and digest; the daemon's descriptors and memory before, during and after.
// scripts/qualify runs the long version (QV_LOAD_* in the environment).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"
#include "e2e/qualify_helper.h"

namespace {

using qvtest::DaemonUnderTest;
using qvtest::EnvNumber;
using qvtest::Gateway;
using qvtest::Origin;
using qvtest::TempDir;

TEST(LoadEndToEnd, ConcurrentClientsEachGetTheirOwnWholeReply) {
  const long clients = EnvNumber("QV_LOAD_CLIENTS", 40);
  // Under an emulator a request costs several times its CPU: fewer of them, as many clients.
  const long requests = EnvNumber("QV_LOAD_REQUESTS", QV_EMULATOR[0] != '\0' ? 200 : 600);
  const long origin_count = std::max(1L, EnvNumber("QV_LOAD_ORIGINS", 1));
  const long threads = EnvNumber("QV_LOAD_THREADS", 1);
  // The daemon as shipped logs several WARN lines per client read and write; the long runs
  // measure it at LOG_LEVEL 0 as well.
  const long log_level = EnvNumber("QV_LOAD_LOG_LEVEL", 1);
  qvtest::RaiseDescriptorLimit();

  TempDir dir;
  std::vector<std::unique_ptr<Origin>> origins;
  std::string plain, secure;
  for (long i = 0; i < origin_count; ++i) {
    origins.emplace_back(new Origin());
    ASSERT_TRUE(origins.back()->Start(dir));
    plain += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(origins[i]->http_port());
    secure += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(origins[i]->https_port());
  }
  Gateway gateway;
  ASSERT_TRUE(gateway.Start(dir));
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(gateway.port())},
                          {"MAX_EPOLL_FD_SIZE", std::to_string(4 * clients + 256)},
                          {"MAX_FRONTEND_TIME", "60"},
                          {"LOG_LEVEL", std::to_string(log_level)}});
  ASSERT_TRUE(daemon.Start());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  const std::string proxy = "127.0.0.1:" + std::to_string(port);
  const pid_t pid = daemon.pid();

  // A first few requests make what is made once (the gateway connection, the database).
  qvtest::LoadResult warm =
      qvtest::RunLoadClient(dir,
                            {"--proxy", proxy, "--origin", plain, "--https-origin", secure,
                             "--clients", "2", "--requests", "20", "--seed", "7"},
                            120);
  ASSERT_EQ(0, warm.exit_code) << warm.json << warm.stderr_text;
  // Finished connections are destroyed a loop iteration after their end.
  auto settle = [&](int want) {
    return qvtest::WaitUntil([&] { return qvtest::OpenDescriptors(pid) == want; }, 10);
  };
  usleep(300000);
  const int fds_before = qvtest::OpenDescriptors(pid);
  const long rss_before = qvtest::ResidentKb(pid);

  // Rounds after the first tell memory the allocator keeps for reuse from a leak: a leak grows
  // with every round.
  const long rounds = std::max(1L, EnvNumber("QV_LOAD_ROUNDS", 1));
  for (long round = 1; round <= rounds; ++round) {
    std::atomic<bool> running{true};
    int fds_peak = fds_before;
    long rss_peak = rss_before;
    std::thread sampler([&] {
      while (running) {
        fds_peak = std::max(fds_peak, qvtest::OpenDescriptors(pid));
        rss_peak = std::max(rss_peak, qvtest::ResidentKb(pid));
        usleep(200000);
      }
    });
    // The clients come up over a second, not in one instant: the daemon listens with a backlog
    // of 128, and the kernel answers an overflowing burst with SYN cookies and a few resets.
    std::vector<std::string> args = {"--proxy",        proxy,
                                     "--origin",       plain,
                                     "--https-origin", secure,
                                     "--clients",      std::to_string(clients),
                                     "--requests",     std::to_string(requests),
                                     "--threads",      std::to_string(threads),
                                     "--timeout-ms",   "120000",
                                     "--ramp-ms",      std::to_string(std::min(1000L, clients)),
                                     "--seed",         std::to_string(round)};
    const char* mix = getenv("QV_LOAD_MIX");
    if (mix != nullptr && *mix != '\0')
      args.insert(args.end(), {"--mix", mix});
    const double cpu_start = qvtest::CpuSeconds(pid);
    const double gateway_start = qvtest::CpuSeconds(gateway.pid());
    double origins_start = 0;
    for (auto& o : origins)
      origins_start += qvtest::CpuSeconds(o->pid());
    qvtest::LoadResult load = qvtest::RunLoadClient(dir, args, 3600);
    running = false;
    sampler.join();
    const double cpu = qvtest::CpuSeconds(pid) - cpu_start;
    const double gateway_cpu = qvtest::CpuSeconds(gateway.pid()) - gateway_start;
    double origins_cpu = -origins_start;
    for (auto& o : origins)
      origins_cpu += qvtest::CpuSeconds(o->pid());
    const bool settled = settle(fds_before);
    const int fds_after = qvtest::OpenDescriptors(pid);
    // Memory freed at the end of the connections goes back to the system within seconds;
    // what is held after that is what the run left behind. Judged only when asked for
    // (QV_LOAD_MAX_RSS_GROWTH_KB): sanitizers and emulators hold memory of their own.
    const double settle_start = qvtest::NowSeconds();
    long rss_after = qvtest::ResidentKb(pid);
    for (long last = -1; qvtest::NowSeconds() - settle_start < 15 && rss_after != last;) {
      last = rss_after;
      usleep(1500000);
      rss_after = qvtest::ResidentKb(pid);
    }

    char figures[768];
    snprintf(figures, sizeof(figures),
             "{\"item\":\"load\",\"round\":%ld,\"clients\":%ld,\"origins\":%ld,"
             "\"log_level\":%ld,\"fds_before\":%d,\"fds_peak\":%d,\"fds_after\":%d,"
             "\"rss_kb_before\":%ld,\"rss_kb_peak\":%ld,\"rss_kb_after\":%ld,"
             "\"daemon_cpu_s\":%.2f,\"gateway_cpu_s\":%.2f,\"origins_cpu_s\":%.2f,\"client\":",
             round, clients, origin_count, log_level, fds_before, fds_peak, fds_after, rss_before,
             rss_peak, rss_after, cpu, gateway_cpu, origins_cpu);
    std::string line = figures + (load.json.empty() ? std::string("null\n") : load.json);
    line.pop_back();
    line += "}";
    printf("%s\n", line.c_str());
    qvtest::Report(line);

    EXPECT_EQ(0, load.exit_code) << load.json << load.stderr_text;
    EXPECT_EQ(requests, load.Figure("ok"));
    for (const char* fault :
         {"corrupted", "misrouted", "truncated_as_complete", "closed", "failed"})
      EXPECT_EQ(0, load.Figure(fault)) << fault;
    const long max_growth_kb = EnvNumber("QV_LOAD_MAX_RSS_GROWTH_KB", -1);
    if (max_growth_kb >= 0) {
      EXPECT_LE(rss_after - rss_before, max_growth_kb)
          << "RSS " << rss_before << " KB before, " << rss_peak << " KB at peak, " << rss_after
          << " KB after";
    }
    // Every connection and tunnel of the run is gone again: no descriptor leaked.
    EXPECT_TRUE(settled) << "descriptors " << fds_before << " before, " << fds_after << " after";
  }
  // The daemon ends cleanly; under the sanitizers its exit also checks for leaked memory.
  const int status = daemon.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::string log = daemon.Log();
  EXPECT_EQ(std::string::npos, log.find("LeakSanitizer")) << log.substr(log.find("LeakSanitizer"));
  EXPECT_EQ(std::string::npos, log.find("ERROR: AddressSanitizer"));
}

}  // namespace

namespace {

// The daemon runs out of descriptors: clients beyond what it can hold wait in the listening
// socket's queue and must be served as soon as descriptors come free, not left there until
// some later client happens to connect.
TEST(LoadEndToEnd, ClientsBeyondTheDescriptorLimitAreServedWhenDescriptorsComeBack) {
  TempDir dir;
  Origin origin;
  Gateway gateway;
  ASSERT_TRUE(origin.Start(dir));
  ASSERT_TRUE(gateway.Start(dir));
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(gateway.port())}});
  ASSERT_TRUE(daemon.Start());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  const std::string plain = "127.0.0.1:" + std::to_string(origin.http_port());
  const std::string proxy = "127.0.0.1:" + std::to_string(port);
  // Warm: the gateway connection and the database are open before the limit.
  ASSERT_EQ(0, qvtest::RunLoadClient(dir,
                                     {"--proxy", proxy, "--origin", plain, "--requests", "4",
                                      "--clients", "1", "--mix", "small=100"},
                                     60)
                   .exit_code);
  const int fds_before = qvtest::OpenDescriptors(daemon.pid());
  // Room for a dozen clients beside what the daemon holds already.
  qvtest::Process limit;
  ASSERT_TRUE(limit.Spawn({"prlimit", "--pid", std::to_string(daemon.pid()),
                           "--nofile=" + std::to_string(fds_before + 12)},
                          dir.File("prlimit.out"), dir.File("prlimit.err")));
  ASSERT_EQ(0, limit.Wait(10)) << qvtest::ReadFile(dir.File("prlimit.err"));

  // A client may wait its turn behind the 39 others in the listening queue: under an emulator
  // on a busy machine that is many seconds. One left there for good still times out, since the
  // last clients have nobody connecting after them.
  const qvtest::LoadResult load =
      qvtest::RunLoadClient(dir,
                            {"--proxy", proxy, "--origin", plain, "--clients", "40", "--requests",
                             "400", "--mix", "small=100", "--timeout-ms", "30000"},
                            300);
  EXPECT_EQ(0, load.exit_code) << load.json;
  EXPECT_EQ(400, load.Figure("ok")) << load.json;
  EXPECT_TRUE(
      qvtest::WaitUntil([&] { return qvtest::OpenDescriptors(daemon.pid()) == fds_before; }, 10));
  size_t accept_failures = 0;
  for (const std::string& line : qvtest::Lines(daemon.Log()))
    accept_failures += line.find("accept failed,err:") != std::string::npos ? 1 : 0;
  printf(
      "{\"item\":\"descriptor_limit\",\"limit\":%d,\"ok\":%lld,\"failed\":%lld,\"rps\":%s,"
      "\"accept_failures_logged\":%zu}\n",
      fds_before + 12, load.Figure("ok"), load.Figure("failed"),
      std::to_string(load.Figure("rps")).c_str(), accept_failures);
}

}  // namespace
