// Gateway faults against the daemon binary: a daemon lives through a series of runs, each
// with the test gateway misbehaving in one way (killed, closed or reset mid-reply, GOAWAY, PING
// never answered, a stream reset, delayed replies, garbage, TLS closed, no gateway at all).
// During each run concurrent clients must get their whole correct reply or a closed connection,
// never a wrong or cut body presented as complete; every end of the gateway connection must be
// broadcast with the code its clean-up reports; once a well-behaved gateway is back the next
// requests must succeed; the daemon must live on without leaking a descriptor.
// The runs are dealt round-robin to kShards series, each with its own daemon, origin and
// gateway, which ctest runs side by side. scripts/qualify runs the long series (QV_FAULT_RUNS).
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"
#include "e2e/qualify_helper.h"

namespace {

using qvtest::DaemonUnderTest;
using qvtest::Gateway;
using qvtest::Origin;
using qvtest::TempDir;

const char kUnframed[] = "small=0,big=0,upload=0,keepalive=0,tunnel=0,unframed=100";

struct Fault {
  const char* name;
  const char* flag;  // null: no gateway at all during the run
  int low, high;     // the flag's value is drawn from [low, high]; -1: a flag without value
  int code;          // the clean-up code the fault ends the connection with; 0: it stays up
  const char* mix;   // the requests of the run (null: a mix of every kind)
};

const Fault kFaults[] = {
    {"killed mid-reply", "--kill-mid-reply", 2000, 400000, 4, nullptr},
    {"TCP closed mid-reply", "--eof-mid-reply", 2000, 400000, 3, nullptr},
    {"TLS closed mid-reply", "--close-mid-reply", 2000, 400000, 3, nullptr},
    {"GOAWAY", "--goaway-after", 0, 6, 5, nullptr},
    {"PING never answered", "--no-ping-reply", -1, -1, 2, nullptr},
    {"stream reset", "--reset-stream", 1, 6, 0, nullptr},
    {"delayed replies", "--delay-ms", 100, 1500, 0, nullptr},
    {"garbage bytes", "--garbage-after", 0, 6, 6, nullptr},
    {"undecodable data", "--bad-deflate-after", 0, 6, 6, nullptr},
    {"TLS closed", "--tls-close-after", 0, 6, 3, nullptr},
    {"gateway down, then back", nullptr, 0, 0, 0, nullptr},
    // Replies framed only by the close of their connection: a cut one must not look whole.
    {"killed in an unframed reply", "--kill-mid-reply", 100, 3000, 4, kUnframed},
    {"TLS closed in an unframed reply", "--close-mid-reply", 100, 3000, 3, kUnframed},
};

const int kShards = 4;

// What the broadcast of an end with clean-up `code` says.
std::string BroadcastOf(int code) {
  if (code == 1)
    return "300 disconnect normal.";
  if (code == 2)
    return "400 Disconnect for timeout.";
  return "500 server disconnection";
}

// The codes of the "BackConnection Cleanup <reason> <code>" lines in `log`, in order.
std::vector<int> CleanupCodes(const std::string& log) {
  std::vector<int> codes;
  const std::string mark = "BackConnection Cleanup ";
  for (const std::string& line : qvtest::Lines(log)) {
    const size_t at = line.find(mark);
    if (at != std::string::npos)
      codes.push_back(atoi(line.c_str() + line.rfind(' ') + 1));
  }
  return codes;
}

std::vector<std::string> Broadcasts(const std::string& text) {
  std::vector<std::string> out;
  for (std::string line : qvtest::Lines(text)) {
    while (!line.empty() && line.back() == '\0')
      line.pop_back();
    if (!line.empty())
      out.push_back(line);
  }
  return out;
}

class GatewayFaultsEndToEnd : public testing::TestWithParam<int> {};

TEST_P(GatewayFaultsEndToEnd, ClientsGetWholeRepliesOrClosedConnectionsAndTheDaemonLivesOn) {
  const long runs = qvtest::EnvNumber("QV_FAULT_RUNS", sizeof(kFaults) / sizeof(kFaults[0]));
  // Under an emulator every request costs several times its CPU: half as many still meet every
  // fault with a request in flight.
  const long requests = qvtest::EnvNumber("QV_FAULT_REQUESTS", QV_EMULATOR[0] != '\0' ? 12 : 24);
  const int shard = GetParam();
  // Every series draws the whole sequence of values and takes its own runs' values, so a run
  // gets the same value whichever series runs it.
  std::mt19937 random(static_cast<unsigned>(qvtest::EnvNumber("QV_FAULT_SEED", 1)));
  TempDir dir;
  Origin origin;
  ASSERT_TRUE(origin.Start(dir));
  // The port every gateway of the series listens on, as the daemon's configuration names it.
  std::unique_ptr<Gateway> gateway(new Gateway());
  ASSERT_TRUE(gateway->Start(dir, {}, "gateway0"));
  const std::string gate_port = std::to_string(gateway->port());
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", gate_port},
                          {"LOG_LEVEL", "2"},
                          {"PING_TIMEOUT", "2"},
                          {"MAX_FRONTEND_TIME", "20"}});
  ASSERT_TRUE(daemon.Start());
  ASSERT_TRUE(daemon.StartListening());
  const int port = daemon.StartProxy();
  ASSERT_GT(port, 0);
  const std::string proxy = "127.0.0.1:" + std::to_string(port);
  const std::string plain = "127.0.0.1:" + std::to_string(origin.http_port());
  const std::string secure = "127.0.0.1:" + std::to_string(origin.https_port());
  auto load = [&](int clients, long count, bool allow_closed, unsigned seed, const char* mix) {
    std::vector<std::string> args = {
        "--proxy",        proxy,
        "--origin",       plain,
        "--https-origin", secure,
        "--clients",      std::to_string(clients),
        "--requests",     std::to_string(count),
        "--seed",         std::to_string(seed),
        "--mix",          mix != nullptr ? mix : "small=45,big=15,upload=15,keepalive=10,tunnel=15",
        "--big-size",     "262144",
        "--timeout-ms",   "30000"};
    if (allow_closed)
      args.push_back("--allow-closed");
    return qvtest::RunLoadClient(dir, args, 300);
  };
  // A clean start: one request, and the descriptors the daemon holds with a live connection.
  ASSERT_EQ(0, load(1, 4, false, 1, nullptr).exit_code);
  usleep(300000);
  const int fds_base = qvtest::OpenDescriptors(daemon.pid());
  long total_requests = 0, total_closed = 0;

  for (long run = 0; run < runs; ++run) {
    const Fault& f = kFaults[run % (sizeof(kFaults) / sizeof(kFaults[0]))];
    std::vector<std::string> flags = {"--port", gate_port};
    std::string value;
    if (f.flag != nullptr) {
      flags.push_back(f.flag);
      if (f.low >= 0) {
        value = std::to_string(std::uniform_int_distribution<int>(f.low, f.high)(random));
        flags.push_back(value);
      }
    }
    if (run % kShards != shard)
      continue;
    SCOPED_TRACE(std::string("run ") + std::to_string(run) + ": " + f.name + " " + value);
    // The last gateway leaves; its connection ends (and is broadcast) before the run starts.
    auto connection_ends = [&](int* up) {
      int ended = 0;
      *up = 0;
      for (const std::string& b : Broadcasts(daemon.Broadcasts())) {
        if (b == "100 connection succeed.")
          ++*up;
        else if (b != "200 connection unsucceed.")
          ++ended;
      }
      return ended;
    };
    int up = 0;
    const int ended_before = connection_ends(&up);
    gateway.reset();
    if (up > ended_before) {
      qvtest::WaitUntil([&] { return connection_ends(&up) > ended_before; }, 8);
    }
    const std::string run_name = "gateway" + std::to_string(run + 1);
    const size_t log_start = daemon.Log().size();
    const size_t cast_start = daemon.Broadcasts().size();
    if (f.flag != nullptr) {
      gateway.reset(new Gateway());
      ASSERT_TRUE(qvtest::WaitUntil([&] { return gateway->Start(dir, flags, run_name); }, 10));
    }

    const qvtest::LoadResult faulty =
        f.mix != nullptr ? load(1, 4, true, static_cast<unsigned>(run + 2), f.mix)
                         : load(6, requests, true, static_cast<unsigned>(run + 2), nullptr);
    ASSERT_FALSE(faulty.json.empty()) << faulty.stderr_text;
    // Whole and correct, or closed: nothing else.
    EXPECT_EQ(0, faulty.exit_code) << faulty.json;
    for (const char* bad : {"corrupted", "misrouted", "truncated_as_complete", "failed"})
      EXPECT_EQ(0, faulty.Figure(bad)) << bad << " " << faulty.json;
    total_requests += faulty.Figure("requests");
    total_closed += faulty.Figure("closed");
    // A fault that ends the connection has done so by now, or does so shortly (an unanswered
    // PING is noticed after PING_TIMEOUT).
    if (f.code != 0) {
      EXPECT_TRUE(qvtest::WaitUntil(
          [&] { return !CleanupCodes(daemon.Log().substr(log_start)).empty(); }, 8));
    }

    // Then a well-behaved gateway, and the next requests must all succeed.
    gateway.reset(new Gateway());
    ASSERT_TRUE(qvtest::WaitUntil(
        [&] {
          return gateway->Start(dir, {"--port", gate_port}, run_name + "b");
        },
        10));
    const qvtest::LoadResult next = load(3, 6, false, static_cast<unsigned>(run + 1000), nullptr);
    EXPECT_EQ(0, next.exit_code) << next.json;
    EXPECT_EQ(6, next.Figure("ok")) << next.json;

    // Every end of a gateway connection in the run, broadcast with the code of its clean-up:
    // the fault's own ends first, and never a connection started without its broadcast.
    // The log and the broadcasts are read one after the other, and an end may fall between the
    // two reads: they are compared once both have settled.
    std::string log;
    std::vector<int> codes;
    std::vector<std::string> ends, starts, unsucceeded, expected;
    auto read_ends = [&] {
      log = daemon.Log().substr(log_start);
      codes = CleanupCodes(log);
      ends.clear();
      starts.clear();
      unsucceeded.clear();
      for (const std::string& b : Broadcasts(daemon.Broadcasts().substr(cast_start))) {
        if (b == "100 connection succeed.")
          starts.push_back(b);
        else if (b == "200 connection unsucceed.")
          unsucceeded.push_back(b);
        else
          ends.push_back(b);
      }
      expected.clear();
      for (int code : codes)
        expected.push_back(BroadcastOf(code));
      return expected == ends;
    };
    qvtest::WaitUntil(read_ends, 5);
    EXPECT_EQ(expected, ends) << log.size() << " bytes of log";
    if (f.code != 0) {
      ASSERT_FALSE(codes.empty());
      EXPECT_EQ(f.code, codes.front()) << "the fault's own end";
    }
    if (f.flag == nullptr) {
      EXPECT_FALSE(unsucceeded.empty()) << "no \"200 connection unsucceed.\" with no gateway";
    }
    EXPECT_FALSE(starts.empty());
    // Alive, and every connection of the run gone: no descriptor leaked.
    EXPECT_GT(daemon.ProxyPort(), 0);
    EXPECT_TRUE(
        qvtest::WaitUntil([&] { return qvtest::OpenDescriptors(daemon.pid()) == fds_base; }, 10))
        << qvtest::OpenDescriptors(daemon.pid()) << " descriptors, " << fds_base << " at the start";

    char line[512];
    snprintf(line, sizeof(line),
             "{\"item\":\"fault\",\"run\":%ld,\"fault\":\"%s\",\"value\":\"%s\",\"requests\":%lld,"
             "\"ok\":%lld,\"closed\":%lld,\"bad\":%lld,\"cleanups\":\"",
             run, f.name, value.c_str(), faulty.Figure("requests"), faulty.Figure("ok"),
             faulty.Figure("closed"),
             faulty.Figure("corrupted") + faulty.Figure("misrouted") +
                 faulty.Figure("truncated_as_complete") + faulty.Figure("failed"));
    std::string report = line;
    for (size_t i = 0; i < codes.size(); ++i)
      report += (i ? " " : "") + std::to_string(codes[i]);
    report += "\",\"next_ok\":" + std::to_string(next.Figure("ok")) +
              ",\"fds\":" + std::to_string(qvtest::OpenDescriptors(daemon.pid())) + "}";
    printf("%s\n", report.c_str());
    qvtest::Report(report);
    if (testing::Test::HasFatalFailure())
      return;
  }
  printf("series %d of %d: %ld requests, %ld closed\n", shard, kShards, total_requests,
         total_closed);
}

INSTANTIATE_TEST_SUITE_P(Series, GatewayFaultsEndToEnd, testing::Range(0, kShards));

}  // namespace
