// Control commands from several clients at once while traffic flows: "start", "stop",
// "deviceid", "set", "sim" and the queries race each other and the proxy's own thread. Under
// the tsan preset a data race ends the daemon with a report (halt_on_error); under the others
// the same run checks that no reply is wrong and that the daemon serves on afterwards.
// scripts/qualify runs it longer (QV_RACE_SECONDS).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_helper.h"
#include "e2e/peers_helper.h"
#include "e2e/qualify_helper.h"

namespace {

using qvtest::DaemonUnderTest;
using qvtest::Gateway;
using qvtest::Origin;
using qvtest::TempDir;

// A free loopback port for the proxy to listen on across its restarts.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
  getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// One control client: commands one after the other on one connection, each reply awaited.
class ControlClient {
 public:
  explicit ControlClient(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (connect(fd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~ControlClient() {
    if (fd_ >= 0)
      close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // The reply to `command` (broadcasts in between are skipped); empty when none came in 5 s.
  std::string Ask(const std::string& command) {
    const std::string message = command + std::string(1, '\0');
    if (send(fd_, message.data(), message.size(), MSG_NOSIGNAL) < 0)
      return "";
    const double end = qvtest::NowSeconds() + 5;
    for (;;) {
      for (size_t nul; (nul = pending_.find('\0')) != std::string::npos;) {
        const std::string reply = pending_.substr(0, nul);
        pending_.erase(0, nul + 1);
        if (reply.compare(0, 2, "1 ") == 0 || reply.compare(0, 4, "500 ") == 0)
          if (reply.find("server disconnection") == std::string::npos)
            return reply;
      }
      const double left = end - qvtest::NowSeconds();
      struct pollfd p = {fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0)
        return "";
      char buf[4096];
      const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      if (n <= 0)
        return "";
      pending_.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  std::string pending_;
};

TEST(ControlRaceEndToEnd, CommandsFromSeveralClientsWhileTrafficFlows) {
  const long seconds = qvtest::EnvNumber("QV_RACE_SECONDS", 4);
  TempDir dir;
  Origin origin;
  Gateway gateway;
  ASSERT_TRUE(origin.Start(dir));
  ASSERT_TRUE(gateway.Start(dir));
  const int proxy_port = FreePort();
  DaemonUnderTest daemon({{"QUORVIN_GATE_PORT", std::to_string(gateway.port())},
                          {"LISTEN_PORT", std::to_string(proxy_port)},
                          {"LOG_LEVEL", "0"}});
  ASSERT_TRUE(daemon.Start());
  ASSERT_EQ(proxy_port, daemon.StartProxy());
  const std::string proxy = "127.0.0.1:" + std::to_string(proxy_port);
  const std::string plain = "127.0.0.1:" + std::to_string(origin.http_port());
  const std::string secure = "127.0.0.1:" + std::to_string(origin.https_port());
  const std::string day = qvtest::Today();

  std::atomic<bool> done{false};
  // Traffic all along: the proxy comes and goes, so clients may be refused or closed, but never
  // handed a wrong or cut reply as whole.
  std::vector<qvtest::LoadResult> traffic;
  std::thread load([&] {
    for (unsigned round = 1; !done; ++round) {
      traffic.push_back(qvtest::RunLoadClient(
          dir,
          {"--proxy", proxy, "--origin", plain, "--https-origin", secure, "--clients", "6",
           "--requests", "40", "--seed", std::to_string(round), "--big-size", "131072",
           "--timeout-ms", "20000", "--allow-closed"},
          120));
    }
  });
  const std::vector<std::string> commands = {"start",
                                             "stop",
                                             "deviceid 12345",
                                             "deviceid device-\"a b\"",
                                             "set 3",
                                             "set 0",
                                             "sim 4600",
                                             "status",
                                             "query " + day + " " + day + " \"\"",
                                             "queryflow " + day + " " + day + " \"\"",
                                             "querydetail " + day + " " + day + " \"\"",
                                             "querydetailflow 1970-01-01 " + day + " \"\""};
  std::atomic<long> asked{0};
  std::atomic<long> unanswered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      ControlClient control(daemon.socket_path());
      ASSERT_TRUE(control.ok());
      std::mt19937 random(static_cast<unsigned>(c + 1));
      const double end = qvtest::NowSeconds() + static_cast<double>(seconds);
      while (qvtest::NowSeconds() < end) {
        const std::string& command = commands[random() % commands.size()];
        ++asked;
        if (control.Ask(command).empty())
          ++unanswered;
        usleep(static_cast<useconds_t>(random() % 20000));
      }
    });
  }
  for (std::thread& t : clients)
    t.join();
  done = true;
  load.join();

  // Whatever the order, the daemon is there, starts and serves whole replies again.
  ASSERT_EQ(proxy_port, daemon.StartProxy()) << daemon.Log();
  const qvtest::LoadResult after =
      qvtest::RunLoadClient(dir,
                            {"--proxy", proxy, "--origin", plain, "--https-origin", secure,
                             "--clients", "4", "--requests", "20", "--seed", "99"},
                            120);
  EXPECT_EQ(0, after.exit_code) << after.json;
  long long requests = 0, closed = 0, failed = 0;
  for (const qvtest::LoadResult& r : traffic) {
    ASSERT_FALSE(r.json.empty()) << r.stderr_text;
    for (const char* bad : {"corrupted", "misrouted", "truncated_as_complete"})
      EXPECT_EQ(0, r.Figure(bad)) << bad << " " << r.json;
    requests += r.Figure("requests");
    closed += r.Figure("closed");
    failed += r.Figure("failed");
  }
  EXPECT_EQ(0, unanswered.load()) << "commands without a reply";
  const std::string log = daemon.Log();
  EXPECT_EQ(std::string::npos, log.find("ThreadSanitizer")) << log.substr(log.find("Thread"));
  EXPECT_EQ(std::string::npos, log.find("ERROR: AddressSanitizer"));
  EXPECT_EQ(std::string::npos, log.find("runtime error:"));
  char line[256];
  snprintf(line, sizeof(line),
           "{\"item\":\"race\",\"seconds\":%ld,\"commands\":%ld,\"unanswered\":%ld,"
           "\"requests\":%lld,\"closed\":%lld,\"refused_or_failed\":%lld}",
           seconds, asked.load(), unanswered.load(), requests, closed, failed);
  printf("%s\n", line);
  qvtest::Report(line);
}

}  // namespace
