// A load client for bench/proxy that offers requests at a fixed rate, so that two proxies can be
// compared at the same request rate (CPU per request depends on how many events one wake-up of
// a proxy's event loop finds).
//
//   proxy_load --port P --url URL --rate R --seconds S [--max-in-flight N]
//
// Request i is due at start + i / R. Each one opens a new connection to 127.0.0.1:P, sends
// "GET URL HTTP/1.1" with "Connection: close", reads until the server closes and counts it as
// done when the reply starts with "HTTP/1.x 200". Latency runs from the due time, so a proxy
// that falls behind is charged for the wait too. At most N requests are open at once (default
// 1024); a due request beyond that waits for a free slot. Prints one JSON line:
// {"requests":N,"errors":N,"seconds":S,"rate":R,"p50_ms":X,"p99_ms":X,"bytes":N}.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

int64_t NowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

struct Request {
  int fd = -1;
  int64_t due_us = 0;
  size_t sent = 0;
  std::string head;  // the first bytes of the reply, enough for the status line
  uint64_t bytes = 0;
};

struct Options {
  int port = 0;
  std::string url;
  double rate = 0;
  double seconds = 0;
  int max_in_flight = 1024;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--port")
      o->port = atoi(value);
    else if (name == "--url")
      o->url = value;
    else if (name == "--rate")
      o->rate = atof(value);
    else if (name == "--seconds")
      o->seconds = atof(value);
    else if (name == "--max-in-flight")
      o->max_in_flight = atoi(value);
    else
      return false;
  }
  return o->port > 0 && !o->url.empty() && o->rate > 0 && o->seconds > 0 && o->max_in_flight > 0;
}

class Load {
 public:
  explicit Load(const Options& o) : o_(o) {
    request_text_ = "GET " + o.url + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(o.port) +
                    "\r\nConnection: close\r\n\r\n";
    memset(&address_, 0, sizeof(address_));
    address_.sin_family = AF_INET;
    address_.sin_port = htons(static_cast<uint16_t>(o.port));
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  }

  int Run() {
    if (epoll_fd_ < 0) {
      perror("epoll_create1");
      return 1;
    }
    const int64_t start = NowUs();
    const int64_t end = start + static_cast<int64_t>(o_.seconds * 1e6);
    const double interval_us = 1e6 / o_.rate;
    uint64_t next = 0;
    std::vector<struct epoll_event> events(256);
    for (;;) {
      const int64_t now = NowUs();
      // Start every request that is due, as far as the slots allow.
      while (in_flight_ < o_.max_in_flight) {
        const int64_t due = start + static_cast<int64_t>(static_cast<double>(next) * interval_us);
        if (due >= end || due > now)
          break;
        Start(due);
        ++next;
      }
      const int64_t due = start + static_cast<int64_t>(static_cast<double>(next) * interval_us);
      if (due >= end && in_flight_ == 0)
        break;
      int timeout_ms = 100;
      if (due < end && in_flight_ < o_.max_in_flight)
        timeout_ms = static_cast<int>(std::max<int64_t>(0, (due - NowUs() + 999) / 1000));
      // Requests still open long after the end have failed.
      if (NowUs() > end + 10 * 1000000)
        break;
      const int n = epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()),
                               std::min(timeout_ms, 100));
      for (int i = 0; i < n; ++i)
        Handle(static_cast<Request*>(events[static_cast<size_t>(i)].data.ptr),
               events[static_cast<size_t>(i)].events);
    }
    const double elapsed = static_cast<double>(NowUs() - start) / 1e6;
    errors_ += static_cast<uint64_t>(in_flight_);
    std::sort(latencies_us_.begin(), latencies_us_.end());
    printf(
        "{\"requests\":%llu,\"errors\":%llu,\"seconds\":%.3f,\"rate\":%.1f,\"p50_ms\":%.3f,"
        "\"p99_ms\":%.3f,\"bytes\":%llu}\n",
        static_cast<unsigned long long>(latencies_us_.size()),
        static_cast<unsigned long long>(errors_), elapsed,
        static_cast<double>(latencies_us_.size()) / elapsed, Percentile(0.50) / 1000.0,
        Percentile(0.99) / 1000.0, static_cast<unsigned long long>(bytes_));
    return 0;
  }

 private:
  double Percentile(double p) const {
    if (latencies_us_.empty())
      return 0;
    const size_t at =
        std::min(latencies_us_.size() - 1, static_cast<size_t>(p * latencies_us_.size()));
    return static_cast<double>(latencies_us_[at]);
  }

  void Start(int64_t due) {
    Request* r = new Request;
    r->due_us = due;
    r->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (r->fd < 0) {
      ++errors_;
      delete r;
      return;
    }
    ++in_flight_;
    int one = 1;
    setsockopt(r->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(r->fd, reinterpret_cast<struct sockaddr*>(&address_), sizeof(address_)) != 0 &&
        errno != EINPROGRESS) {
      Finish(r, false);
      return;
    }
    struct epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    ev.data.ptr = r;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, r->fd, &ev);
  }

  void Handle(Request* r, uint32_t events) {
    if (r->sent < request_text_.size() && (events & EPOLLOUT)) {
      const ssize_t n =
          send(r->fd, request_text_.data() + r->sent, request_text_.size() - r->sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) {
        Finish(r, false);
        return;
      }
      if (n > 0)
        r->sent += static_cast<size_t>(n);
      if (r->sent == request_text_.size()) {
        struct epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.ptr = r;
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, r->fd, &ev);
      }
    }
    if (!(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
      return;
    char buffer[65536];
    for (;;) {
      const ssize_t n = recv(r->fd, buffer, sizeof(buffer), 0);
      if (n > 0) {
        r->bytes += static_cast<uint64_t>(n);
        if (r->head.size() < 16)
          r->head.append(buffer, std::min<size_t>(static_cast<size_t>(n), 16 - r->head.size()));
        continue;
      }
      if (n == 0) {
        const bool ok = r->head.size() >= 12 && r->head.compare(0, 7, "HTTP/1.") == 0 &&
                        r->head.compare(8, 4, " 200") == 0;
        Finish(r, ok);
        return;
      }
      if (errno == EAGAIN || errno == EINTR)
        return;
      Finish(r, false);
      return;
    }
  }

  void Finish(Request* r, bool ok) {
    if (ok) {
      latencies_us_.push_back(NowUs() - r->due_us);
      bytes_ += r->bytes;
    } else {
      ++errors_;
    }
    close(r->fd);
    delete r;
    --in_flight_;
  }

  const Options o_;
  std::string request_text_;
  struct sockaddr_in address_;
  int epoll_fd_;
  int in_flight_ = 0;
  uint64_t errors_ = 0;
  uint64_t bytes_ = 0;
  std::vector<int64_t> latencies_us_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fprintf(stderr,
            "usage: proxy_load --port P --url URL --rate R --seconds S [--max-in-flight N]\n");
    return 2;
  }
  Load load(options);
  return load.Run();
}
