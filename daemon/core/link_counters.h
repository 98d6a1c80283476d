#ifndef DAEMON_CORE_LINK_COUNTERS_H
#define DAEMON_CORE_LINK_COUNTERS_H

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>

// What crossed the daemon since the process started: the bytes of the gateway's TLS socket, the
// bytes delivered to and taken from applications, the gateway streams opened, the gateway
// connection's state and the round trip of its last answered PING, and the address the proxy
// listens on. The HttpThread counts, the control thread's "status" reads: every figure is an
// atomic of its own, 64 bits wide also on 32-bit ARM, added to with relaxed order (a reader
// wants recent figures, not a cut taken at one instant), so that counting costs no lock.
class LinkCounters {
 public:
  struct Snapshot {
    uint64_t link_down = 0;  // bytes read from the gateway's socket
    uint64_t link_up = 0;    // bytes written to it
    uint64_t app_down = 0;   // bytes written to applications
    uint64_t app_up = 0;     // bytes read from applications
    uint64_t streams = 0;    // SYN_STREAMs sent
    bool gateway_up = false;
    uint32_t rtt_ms = 0;     // 0 until a PING was answered
    uint32_t listen_ip = 0;  // network order; with the port, 0 when not listening
    uint32_t listen_port = 0;
    int64_t uptime_s = 0;
  };

  // The process's counters. The first call fixes the start of the uptime.
  static LinkCounters& Get() {
    static LinkCounters counters;
    return counters;
  }

  // Front side (HttpThread).
  void AddAppDown(uint64_t n) { app_down_.fetch_add(n, std::memory_order_relaxed); }
  void AddAppUp(uint64_t n) { app_up_.fetch_add(n, std::memory_order_relaxed); }

  // Gateway side (HttpThread only, so the per-connection bases need no atomics).
  // A new TLS connection: its socket counts from 0.
  void GatewayUp() {
    read_base_ = 0;
    written_base_ = 0;
    gateway_up_.store(true, std::memory_order_relaxed);
  }
  void GatewayDown() { gateway_up_.store(false, std::memory_order_relaxed); }
  // The socket's byte counts so far: what grew since the last call is added.
  void CountLink(uint64_t socket_read, uint64_t socket_written) {
    if (socket_read > read_base_)
      link_down_.fetch_add(socket_read - read_base_, std::memory_order_relaxed);
    if (socket_written > written_base_)
      link_up_.fetch_add(socket_written - written_base_, std::memory_order_relaxed);
    read_base_ = socket_read;
    written_base_ = socket_written;
  }
  void StreamOpened() { streams_.fetch_add(1, std::memory_order_relaxed); }
  void PingSent() { ping_sent_ms_ = NowMs(); }
  void PingAnswered() {
    if (ping_sent_ms_ > 0)
      rtt_ms_.store(static_cast<uint32_t>(NowMs() - ping_sent_ms_), std::memory_order_relaxed);
  }

  // Control side: the listening socket, whose address is kept as bound (-1: closed).
  void SetListening(int fd) {
    uint64_t listen = 0;
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    if (fd >= 0 && getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) == 0 &&
        addr.sin_family == AF_INET)
      listen = (static_cast<uint64_t>(addr.sin_addr.s_addr) << 32) | ntohs(addr.sin_port);
    listen_.store(listen, std::memory_order_relaxed);
  }

  Snapshot Read() const {
    Snapshot s;
    s.link_down = link_down_.load(std::memory_order_relaxed);
    s.link_up = link_up_.load(std::memory_order_relaxed);
    s.app_down = app_down_.load(std::memory_order_relaxed);
    s.app_up = app_up_.load(std::memory_order_relaxed);
    s.streams = streams_.load(std::memory_order_relaxed);
    s.gateway_up = gateway_up_.load(std::memory_order_relaxed);
    s.rtt_ms = rtt_ms_.load(std::memory_order_relaxed);
    const uint64_t listen = listen_.load(std::memory_order_relaxed);
    s.listen_ip = static_cast<uint32_t>(listen >> 32);
    s.listen_port = static_cast<uint32_t>(listen & 0xffffffffu);
    s.uptime_s = (NowMs() - start_ms_) / 1000;
    return s;
  }

  LinkCounters(const LinkCounters&) = delete;
  LinkCounters& operator=(const LinkCounters&) = delete;

 private:
  LinkCounters() : start_ms_(NowMs()) {}

  static int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  const int64_t start_ms_;
  std::atomic<uint64_t> link_down_{0};
  std::atomic<uint64_t> link_up_{0};
  std::atomic<uint64_t> app_down_{0};
  std::atomic<uint64_t> app_up_{0};
  std::atomic<uint64_t> streams_{0};
  std::atomic<bool> gateway_up_{false};
  std::atomic<uint32_t> rtt_ms_{0};
  std::atomic<uint64_t> listen_{0};
  uint64_t read_base_ = 0;
  uint64_t written_base_ = 0;
  int64_t ping_sent_ms_ = 0;
};

#endif  // DAEMON_CORE_LINK_COUNTERS_H
