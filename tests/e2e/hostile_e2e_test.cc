// Attacks on the daemon binary, each while 20 ordinary clients fetch 1 MB replies through it
// (tests/load/load_client, every body checked): a reply its client never reads, a tunnel whose
// far side never reads (and one whose client never does), a slow name server, a slow gateway
// handshake while a tunnel streams, a start whose port is taken, and another process after the
// port of a stopped proxy. Each asserts its bound generously; scripts/qualify hostile runs the
// attacks longer (QV_HOSTILE_* in the environment) and reports the daemon's peak memory above
// its baseline and the ordinary clients' p99 latency against a run without the attack.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
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
using qvtest::NowSeconds;
using qvtest::Origin;
using qvtest::TempDir;

const long kMb = 1024 * 1024;

// A sanitizer's own bookkeeping (ASan's quarantine of freed memory, TSan's shadow) grows with
// what the daemon allocates: the memory bounds are the plain builds' to judge.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kMemoryJudged = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
const bool kMemoryJudged = false;
#else
const bool kMemoryJudged = true;
#endif
#else
const bool kMemoryJudged = true;
#endif

// Under an emulator the daemon's resident size is the emulator's too, whose cache of translated
// code grows with every new path the daemon takes; and the daemon runs several times slower.
const bool kEmulated = QV_EMULATOR[0] != '\0';

// Fails when the daemon's peak memory went more than `limit_kb` above its baseline.
void ExpectMemoryBound(long peak_kb, long base_kb, long limit_kb) {
  if (!kMemoryJudged || kEmulated) {
    printf("memory not judged under a sanitizer or an emulator: peak %ld KB, baseline %ld KB\n",
           peak_kb, base_kb);
    return;
  }
  EXPECT_LT(peak_kb - base_kb, limit_kb) << "peak " << peak_kb << " KB, baseline " << base_kb;
}

// A loopback listener of the test's own: the far side of a tunnel that never reads (its
// receive buffer made small) or that sends without end.
class FarSide {
 public:
  enum Mode { kNeverReads, kSendsForever };
  explicit FarSide(Mode mode) : mode_(mode) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    if (mode_ == kNeverReads)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
      port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FarSide() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  long long sent() const { return sent_.load(); }

 private:
  void Serve() {
    const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0)
      return;
    std::vector<char> chunk(16384, 'f');
    while (!stop_) {
      if (mode_ == kNeverReads) {
        usleep(20000);
        continue;
      }
      pollfd p = {c, POLLOUT, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      const ssize_t n = send(c, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0)
        sent_ += n;
      else if (n < 0 && errno != EAGAIN)
        break;
    }
    close(c);
  }

  const Mode mode_;
  int fd_ = -1;
  int port_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<long long> sent_{0};
  std::thread thread_;
};

// The daemon's resident memory, sampled until Stop; the peak.
class MemorySampler {
 public:
  explicit MemorySampler(pid_t pid) : pid_(pid), peak_(qvtest::ResidentKb(pid)) {
    thread_ = std::thread([this] {
      while (running_) {
        peak_ = std::max(peak_.load(), qvtest::ResidentKb(pid_));
        usleep(50000);
      }
    });
  }
  ~MemorySampler() { Stop(); }
  long Stop() {
    if (running_.exchange(false))
      thread_.join();
    return peak_;
  }

 private:
  const pid_t pid_;
  std::atomic<bool> running_{true};
  std::atomic<long> peak_;
  std::thread thread_;
};

// Sends a CONNECT and reads the reply head; the socket stays open.
int OpenTunnel(int proxy_port, const std::string& target, std::string* head, double timeout_s) {
  const int fd = qvtest::ConnectLoopback(proxy_port);
  if (fd < 0)
    return -1;
  const std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  const double end = NowSeconds() + timeout_s;
  while (head->find("\r\n\r\n") == std::string::npos && NowSeconds() < end) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0)
      continue;
    char c;
    if (recv(fd, &c, 1, 0) != 1)
      break;
    head->push_back(c);
  }
  return fd;
}

// The error a reset left on a socket the test never read from; 0 when none came in time.
int WaitForReset(int fd, double timeout_s) {
  const double end = NowSeconds() + timeout_s;
  while (NowSeconds() < end) {
    pollfd p = {fd, 0, 0};
    poll(&p, 1, 50);
    if (p.revents & (POLLERR | POLLHUP)) {
      int err = 0;
      socklen_t len = sizeof(err);
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      return err;
    }
  }
  return 0;
}

// The origin, the test gateway and the daemon, with the ordinary clients' load.
class HostileEndToEnd : public ::testing::Test {
 protected:
  bool StartPeers(const std::vector<std::string>& gateway_flags,
                  std::map<std::string, std::string> settings = {},
                  const std::vector<std::string>& wrapper = {}) {
    if (!origin_.Start(dir_) || !gateway_.Start(dir_, gateway_flags))
      return false;
    settings["QUORVIN_GATE_PORT"] = std::to_string(gateway_.port());
    if (settings.count("MAX_FRONTEND_TIME") == 0)
      settings["MAX_FRONTEND_TIME"] = "60";
    daemon_.reset(new DaemonUnderTest(settings));
    daemon_->set_wrapper(wrapper);
    if (!daemon_->Start())
      return false;
    port_ = daemon_->StartProxy();
    return port_ > 0;
  }

  // The ordinary clients: each of `requests` a 1 MB reply, 20 at a time, every body checked.
  // Returns the client's p99 latency in ms (-1 when it failed).
  double OrdinaryLoad(long requests = -1) {
    if (requests < 0)
      requests = EnvNumber("QV_HOSTILE_REQUESTS", 20);
    static int seed = 1;
    qvtest::LoadResult r = qvtest::RunLoadClient(
        dir_,
        {"--proxy", "127.0.0.1:" + std::to_string(port_), "--origin",
         "127.0.0.1:" + std::to_string(origin_.http_port()), "--clients", "20", "--requests",
         std::to_string(requests), "--mix", "small=0,big=100,upload=0,keepalive=0,tunnel=0",
         "--big-size", std::to_string(kMb), "--timeout-ms", "60000", "--seed",
         std::to_string(seed++)},
        300);
    EXPECT_EQ(0, r.exit_code) << r.json << r.stderr_text;
    EXPECT_EQ(requests, r.Figure("ok")) << r.json;
    if (r.exit_code != 0)
      return -1;
    const size_t at = r.json.find("\"p99_ms\":");
    return at == std::string::npos ? -1 : atof(r.json.c_str() + at + 9);
  }

  // The memory the daemon settles at with its gateway connection made and a load behind it,
  // and the p99 of that quiet load.
  void Baseline() {
    quiet_p99_ = OrdinaryLoad();
    usleep(1500000);
    base_kb_ = qvtest::ResidentKb(daemon_->pid());
  }

  void Report(const std::string& attack, long peak_kb, double p99) {
    const long above = peak_kb - base_kb_;
    printf("%s: peak RSS %ld KB above the baseline of %ld KB; p99 %.1f ms (%.1f ms without)\n",
           attack.c_str(), above, base_kb_, p99, quiet_p99_);
    qvtest::Report("{\"item\":\"hostile\",\"attack\":\"" + attack + "\",\"rss_kb_base\":" +
                   std::to_string(base_kb_) + ",\"rss_kb_above\":" + std::to_string(above) +
                   ",\"p99_ms\":" + std::to_string(p99) +
                   ",\"p99_ms_quiet\":" + std::to_string(quiet_p99_) + "}");
  }

  TempDir dir_;
  Origin origin_;
  Gateway gateway_;
  std::unique_ptr<DaemonUnderTest> daemon_;
  int port_ = -1;
  long base_kb_ = 0;
  double quiet_p99_ = -1;
};

TEST_F(HostileEndToEnd, AReplyNeverReadIsResetAndMemoryStaysBounded) {
  ASSERT_TRUE(StartPeers({}));
  Baseline();
  const long reply_mb = EnvNumber("QV_HOSTILE_REPLY_MB", 100);
  const std::string path = "/repeat/" + std::to_string(reply_mb * kMb);
  MemorySampler memory(daemon_->pid());
  const std::string origin = "127.0.0.1:" + std::to_string(origin_.http_port());
  const std::string request =
      "GET http://" + origin + path + " HTTP/1.1\r\nHost: " + origin + "\r\n\r\n";
  // One attacker after the other for as long as the ordinary clients run, at least one.
  std::atomic<bool> loading{true};
  int err = 0;
  double reset_after = 0;
  int attacks = 0;
  std::thread attacker([&] {
    do {
      const int fd = qvtest::ConnectLoopback(port_);
      if (fd < 0 ||
          send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
        err = -1;
        return;
      }
      const double start = NowSeconds();
      const int e = WaitForReset(fd, 60);
      close(fd);
      reset_after = std::max(reset_after, NowSeconds() - start);
      ++attacks;
      if (e != ECONNRESET) {
        err = e;
        return;
      }
      err = e;
    } while (loading);
  });
  const double p99 = OrdinaryLoad();
  loading = false;
  attacker.join();
  const long peak = memory.Stop();

  EXPECT_EQ(ECONNRESET, err) << "the client must see a reset, never a short body that looks whole";
  EXPECT_LT(reset_after, kEmulated ? 20.0 : 10.0);
  ExpectMemoryBound(peak, base_kb_, 32 * 1024);
  // The gateway was told to stop sending: RST_STREAM CANCEL for the stream of that request.
  long long stream = -1;
  for (const std::string& e : gateway_.Events("stream")) {
    if (e.find(path + "\"") != std::string::npos)
      stream = qvtest::JsonNumber(e, "id");
  }
  ASSERT_GT(stream, 0);
  EXPECT_TRUE(qvtest::WaitUntil(
      [&] {
        for (const std::string& e : gateway_.Events("rst")) {
          if (qvtest::JsonNumber(e, "id") == stream && qvtest::JsonNumber(e, "status") == 5)
            return true;
        }
        return false;
      },
      5));
  printf("%d attackers, each reset within %.2f s\n", attacks, reset_after);
  Report("reply_never_read", peak, p99);
}

TEST_F(HostileEndToEnd, ATunnelWhoseOtherSideNeverReadsHoldsItsMemoryBounded) {
  ASSERT_TRUE(StartPeers({}));
  Baseline();
  const double seconds = static_cast<double>(EnvNumber("QV_HOSTILE_SECONDS", 3));
  MemorySampler memory(daemon_->pid());
  // The target never reads while the client writes, and the client never reads while the
  // target writes: on each side TCP must slow the sender, nothing may pile up in the daemon.
  FarSide sink(FarSide::kNeverReads);
  FarSide source(FarSide::kSendsForever);
  std::string head;
  const int up = OpenTunnel(port_, "127.0.0.1:" + std::to_string(sink.port()), &head, 10);
  ASSERT_EQ("HTTP/1.0 200 Connection established\r\n\r\n", head.substr(0, 100));
  std::string down_head;
  const int down = OpenTunnel(port_, "127.0.0.1:" + std::to_string(source.port()), &down_head, 10);
  // A target that speaks first still has the 200 come first.
  ASSERT_EQ("HTTP/1.0 200 Connection established\r\n\r\n", down_head.substr(0, 100));
  std::atomic<long long> pushed{0};
  std::thread writer([&] {
    fcntl(up, F_SETFL, fcntl(up, F_GETFL) | O_NONBLOCK);
    std::vector<char> chunk(65536, 'c');
    const double end = NowSeconds() + seconds;
    while (pushed < 1024 * kMb && NowSeconds() < end) {
      pollfd p = {up, POLLOUT, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      const ssize_t n = send(up, chunk.data(), chunk.size(), MSG_NOSIGNAL);
      if (n > 0)
        pushed += n;
      else if (n < 0 && errno != EAGAIN)
        break;
    }
  });
  const double p99 = OrdinaryLoad();
  writer.join();
  const long peak = memory.Stop();
  printf("the client pushed %lld KB into a tunnel nobody reads, the far side %lld KB into one\n",
         pushed.load() / 1024, source.sent() / 1024);
  ExpectMemoryBound(peak, base_kb_, 32 * 1024);
  // What TCP let through: the socket buffers on the way and the tunnel's own marks, no more.
  EXPECT_LT(pushed.load(), 64 * kMb);
  EXPECT_LT(source.sent(), 64 * kMb);
  close(up);
  close(down);
  Report("tunnel_never_read", peak, p99);
}

TEST_F(HostileEndToEnd, ASlowNameServerHoldsUpOnlyItsOwnTunnel) {
  // The daemon gets a resolv.conf of its own in a mount namespace; the name server is the
  // test's, on a loopback address of its own (port 53 needs root).
  if (getuid() != 0 || system("unshare -m true >/dev/null 2>&1") != 0)
    FAIL() << "NOT RUN: this test needs root and mount namespaces (unshare -m) to give the "
              "daemon a name server of its own; neither passing nor skipping it would be true";
  const long delay_ms = EnvNumber("QV_HOSTILE_LOOKUP_MS", 5000);
  const std::string address = "127.53." + std::to_string(getpid() % 200 + 1) + "." +
                              std::to_string(getpid() / 200 % 200 + 1);
  const std::string resolv = dir_.File("resolv.conf");
  ASSERT_TRUE(
      qvtest::WriteFile(resolv, "nameserver " + address + "\noptions timeout:30 attempts:1\n"));
  qvtest::Process dns;
  ASSERT_TRUE(dns.Spawn(
      {QV_NODE, QV_SLOW_DNS_JS, "--address", address, "--delay-ms", std::to_string(delay_ms),
       "--never", "never.example", "--log", dir_.File("dns.jsonl")},
      dir_.File("dns.out"), dir_.File("dns.err")));
  ASSERT_EQ(53, qvtest::JsonNumber(qvtest::WaitForFirstLine(dir_.File("dns.out"), 20), "listening"))
      << qvtest::ReadFile(dir_.File("dns.err"));
  ASSERT_TRUE(StartPeers({}, {},
                         {"unshare", "-m", "--propagation", "private", "sh", "-c",
                          "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", resolv}));
  Baseline();

  MemorySampler memory(daemon_->pid());
  const std::string target = "slow.example:" + std::to_string(origin_.https_port());
  std::string slow_head, never_head;
  const double start = NowSeconds();
  double slow_after = -1, never_after = -1;
  int never_fd = -1;
  std::thread slow([&] {
    const int fd = OpenTunnel(port_, target, &slow_head, 30);
    slow_after = NowSeconds() - start;
    close(fd);
  });
  std::thread never([&] {
    never_fd = OpenTunnel(port_, "never.example:443", &never_head, 30);
    never_after = NowSeconds() - start;
  });
  const double load_start = NowSeconds() - start;
  const double p99 = OrdinaryLoad();
  const double load_end = NowSeconds() - start;
  slow.join();
  never.join();
  close(never_fd);

  // The ordinary clients went on while both names were being looked up: none of them waited for
  // a lookup.
  EXPECT_LT(load_end, slow_after) << "the load took from " << load_start << " s";
  EXPECT_LT(p99, quiet_p99_ + delay_ms / 2.0);
  // The slow name opened its tunnel once answered; the one never answered was given up at the
  // lookup's bound and its client closed without a reply.
  EXPECT_EQ("HTTP/1.0 200 Connection established\r\n\r\n", slow_head);
  EXPECT_GE(slow_after, delay_ms / 1000.0 - 0.5);
  EXPECT_EQ("", never_head);
  EXPECT_GE(never_after, 9.0);
  EXPECT_LT(never_after, 14.0);
  EXPECT_NE(std::string::npos,
            daemon_->Log().find("http_interface(" + std::to_string(daemon_->pid()) +
                                "): answer == NULL"));
  EXPECT_NE(std::string::npos, qvtest::ReadFile(dir_.File("dns.jsonl")).find("never.example"));
  printf("tunnel after %.2f s, the name never answered given up after %.2f s, load %.2f..%.2f s\n",
         slow_after, never_after, load_start, load_end);
  Report("slow_name_server", memory.Stop(), p99);
}

TEST_F(HostileEndToEnd, ASlowGatewayHandshakeDoesNotStopATunnel) {
  const long delay_ms = EnvNumber("QV_HOSTILE_HANDSHAKE_MS", 2000);
  // The gateway connection ends when idle for 2 s, so that the load makes a second one.
  ASSERT_TRUE(StartPeers({"--handshake-delay-ms", std::to_string(delay_ms)},
                         {{"MAX_SESSION_IDLE_TIME", "2"}}));
  FarSide source(FarSide::kSendsForever);
  std::string head;
  const int fd = OpenTunnel(port_, "127.0.0.1:" + std::to_string(source.port()), &head, 20);
  ASSERT_EQ("HTTP/1.0 200 Connection established\r\n\r\n", head.substr(0, 100));
  // Every read of the tunnel, timed.
  std::mutex mutex;
  std::vector<double> reads;
  std::atomic<bool> reading{true};
  std::thread reader([&] {
    char buf[65536];
    while (reading) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0)
        continue;
      if (recv(fd, buf, sizeof(buf), 0) <= 0)
        break;
      std::lock_guard<std::mutex> lock(mutex);
      reads.push_back(NowSeconds());
    }
  });
  // The quiet run goes over the connection the tunnel's client made; then it ends for being
  // idle, and the next client makes a new one.
  Baseline();
  ASSERT_TRUE(qvtest::WaitUntil([&] { return !gateway_.Events("close").empty(); }, 15));
  MemorySampler memory(daemon_->pid());
  const double load_start = NowSeconds();
  const double p99 = OrdinaryLoad();
  const double load_end = NowSeconds();
  reading = false;
  reader.join();
  close(fd);

  // The load waited for the handshake, and the tunnel's bytes kept coming meanwhile.
  EXPECT_GE(load_end - load_start, delay_ms / 1000.0);
  double gap = 0;
  size_t during = 0;
  double last = load_start;
  for (double t : reads) {
    if (t < load_start || t > load_start + delay_ms / 1000.0)
      continue;
    gap = std::max(gap, t - last);
    last = t;
    ++during;
  }
  gap = std::max(gap, load_start + delay_ms / 1000.0 - last);
  EXPECT_GT(during, 10u);
  EXPECT_LT(gap, delay_ms / 2000.0)
      << "the tunnel stopped for " << gap << " s during the handshake";
  EXPECT_EQ(2u, gateway_.Events("conn").size());
  printf("largest gap in the tunnel during the %ld ms handshake: %.0f ms (%zu reads)\n", delay_ms,
         gap * 1000, during);
  Report("slow_gateway_handshake", memory.Stop(), p99);
}

// A loopback port of its own, listening until the end.
int TakePort(int* fd) {
  *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (bind(*fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(*fd, 4) != 0 ||
      getsockname(*fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return -1;
  return ntohs(addr.sin_port);
}

// bind(2) of another socket to `port`, with or without SO_REUSEADDR: 0 or errno.
int BindAgain(int port, bool reuse) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = reuse ? 1 : 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  int err = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 ? 0 : errno;
  if (err == 0 && listen(fd, 4) != 0)
    err = errno;
  close(fd);
  return err;
}

TEST_F(HostileEndToEnd, AStartWhosePortIsTakenSaysItFailed) {
  int holder = -1;
  const int port = TakePort(&holder);
  ASSERT_GT(port, 0);
  ASSERT_TRUE(origin_.Start(dir_));
  ASSERT_TRUE(gateway_.Start(dir_));
  daemon_.reset(new DaemonUnderTest({{"QUORVIN_GATE_PORT", std::to_string(gateway_.port())},
                                     {"LISTEN_PORT", std::to_string(port)}}));
  ASSERT_TRUE(daemon_->Start());
  const qvtest::CtlResult failed = daemon_->Ctl({"start"});
  EXPECT_EQ("505 StartFailed.", failed.out);
  EXPECT_EQ(1, failed.exit_code);
  EXPECT_NE(std::string::npos, daemon_->Log().find("createlistensocket failed"));
  EXPECT_NE(std::string::npos, daemon_->Log().find("start: the listening socket cannot be opened"));
  EXPECT_EQ("1 {running:0", daemon_->Ctl({"--raw", "status"}).out.substr(0, 12));
  // Once the port is free the proxy starts on it and serves.
  close(holder);
  const qvtest::CtlResult started = daemon_->Ctl({"start"});
  EXPECT_EQ("1 StartOkay.", started.out);
  EXPECT_EQ(0, started.exit_code);
  EXPECT_EQ("1 StartOkay.", daemon_->Ctl({"start"}).out) << "a second start changes nothing";
  ASSERT_TRUE(qvtest::WaitUntil([&] { return daemon_->ProxyPort() == port; }, 5));
  port_ = port;
  OrdinaryLoad();
}

TEST_F(HostileEndToEnd, NoOtherProcessTakesThePortWhileTheProxyIsStopped) {
  int holder = -1;
  const int port = TakePort(&holder);
  ASSERT_GT(port, 0);
  close(holder);
  ASSERT_TRUE(StartPeers({}, {{"LISTEN_PORT", std::to_string(port)}}));
  ASSERT_EQ(port, port_);
  OrdinaryLoad();
  ASSERT_EQ("1 StopOkay.", daemon_->Ctl({"stop"}).out);

  // Stopped: a client is refused at once, and the port is no one else's, with SO_REUSEADDR
  // (as the daemon's own) or without.
  const double start = NowSeconds();
  EXPECT_EQ(-1, qvtest::ConnectLoopback(port));
  EXPECT_EQ(ECONNREFUSED, errno);
  EXPECT_LT(NowSeconds() - start, 1.0);
  EXPECT_EQ(EADDRINUSE, BindAgain(port, true));
  EXPECT_EQ(EADDRINUSE, BindAgain(port, false));
  const std::string python =
      "import "
      "socket,sys\ns=socket.socket()\ns.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
      "try:\n  s.bind(('127.0.0.1'," +
      std::to_string(port) + "));s.listen(1);sys.exit(0)\nexcept OSError:\n  sys.exit(7)\n";
  qvtest::WriteFile(dir_.File("bind.py"), python);
  EXPECT_EQ(7 << 8, system(("python3 " + dir_.File("bind.py")).c_str()))
      << "another process bound it";

  // Started again: the same port serves.
  ASSERT_EQ("1 StartOkay.", daemon_->Ctl({"start"}).out);
  ASSERT_TRUE(qvtest::WaitUntil([&] { return daemon_->ProxyPort() == port; }, 5));
  OrdinaryLoad();
}

}  // namespace

namespace {

// Not an attack, but what a pooling client (Node's http with a shared keep-alive agent, as
// Android's common clients) does to a proxy that closes after each reply without saying so: it
// sends the next request on a connection already closed, and half of them fail with a reset.
TEST_F(HostileEndToEnd, APoolingClientNeverReusesAConnectionTheProxyCloses) {
  ASSERT_TRUE(StartPeers({}));
  qvtest::Process client;
  ASSERT_TRUE(
      client.Spawn({QV_NODE, QV_POOLED_CLIENT_JS, "--proxy", "127.0.0.1:" + std::to_string(port_),
                    "--url", origin_.Url("/text"), "--requests", "60", "--parallel", "4"},
                   dir_.File("pooled.out"), dir_.File("pooled.err")));
  const int status = client.Wait(60);
  const std::string out = qvtest::ReadFile(dir_.File("pooled.out"));
  EXPECT_EQ(0, status) << out << qvtest::ReadFile(dir_.File("pooled.err"));
  EXPECT_EQ(60, qvtest::JsonNumber(out, "ok")) << out;
  EXPECT_EQ(0, qvtest::JsonNumber(out, "failed")) << out;
}

}  // namespace
