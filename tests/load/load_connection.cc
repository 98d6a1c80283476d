#include "load/load_connection.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "load/load_runner.h"

namespace {

const size_t kMaxHead = 64 * 1024;
const char kConnectReply[] = "HTTP/1.0 200 Connection established\r\n\r\n";

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool ParseAddress(const std::string& hp, sockaddr_in* addr) {
  const size_t colon = hp.rfind(':');
  if (colon == std::string::npos)
    return false;
  memset(addr, 0, sizeof(*addr));
  addr->sin_family = AF_INET;
  addr->sin_port = htons(static_cast<uint16_t>(atoi(hp.c_str() + colon + 1)));
  return inet_pton(AF_INET, hp.substr(0, colon).c_str(), &addr->sin_addr) == 1;
}

const char* PhaseName(int phase) {
  static const char* const kNames[] = {"idle",      "connecting", "send-connect", "read-connect",
                                       "handshake", "send",       "read-head",    "read-body"};
  return phase >= 0 && phase < 8 ? kNames[phase] : "?";
}

}  // namespace

LoadConnection::LoadConnection(LoadRunner* runner) : runner_(runner) {}

LoadConnection::~LoadConnection() {
  Close();
  if (digest_ != nullptr)
    EVP_MD_CTX_free(digest_);
}

void LoadConnection::Close() {
  if (ssl_ != nullptr) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (fd_ >= 0) {
    close(fd_);  // also leaves the epoll set
    fd_ = -1;
  }
  interest_ = 0;
  kept_ = false;
}

bool LoadConnection::StartNext() {
  uint64_t id;
  if (!runner_->TakeId(&id)) {
    Close();
    phase_ = kIdle;
    return false;
  }
  runner_->CountStarted();
  req_ = runner_->plan().Make(id);
  if (req_.expect_sha256.empty() && req_.path.compare(0, 6, "/size/") == 0)
    req_.expect_sha256 =
        runner_->plan().StreamDigest(static_cast<size_t>(req_.expect_len), runner_->digest_cache());
  started_ = Now();
  last_progress_ = started_;
  reuse_attempt_ = false;
  if (kept_ && req_.kind != LoadRequest::kTunnel) {
    reuse_attempt_ = true;
    BuildRequest();
    phase_ = kSend;
    Drive();
    return true;
  }
  Close();
  Open();
  return true;
}

void LoadConnection::Open() {
  sockaddr_in addr;
  if (runner_->settings().direct) {
    if (!ParseAddress(req_.origin, &addr)) {
      End(kFailed, "bad origin address " + req_.origin, false);
      return;
    }
  } else {
    addr = runner_->settings().proxy;
  }
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    End(kFailed, std::string("socket: ") + strerror(errno), false);
    return;
  }
  const int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  epoll_event ev = {};
  ev.events = EPOLLOUT;
  ev.data.ptr = this;
  if (epoll_ctl(runner_->epoll_fd(), EPOLL_CTL_ADD, fd_, &ev) != 0) {
    End(kFailed, std::string("epoll_ctl: ") + strerror(errno), false);
    return;
  }
  interest_ = EPOLLOUT;
  phase_ = kConnecting;
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) {
    AfterConnect();
    Drive();
  } else if (errno != EINPROGRESS) {
    End(kFailed, std::string("connect: ") + strerror(errno), false);
  }
}

void LoadConnection::AfterConnect() {
  in_.clear();
  if (req_.kind == LoadRequest::kTunnel && !runner_->settings().direct) {
    out_ = "CONNECT " + req_.origin + " HTTP/1.1\r\nHost: " + req_.origin +
           "\r\nUser-Agent: qv-load\r\n\r\n";
    out_off_ = 0;
    body_off_ = req_.body_len;  // nothing of the body goes with the CONNECT
    phase_ = kSendConnect;
  } else if (req_.kind == LoadRequest::kTunnel) {
    phase_ = kHandshake;
  } else {
    BuildRequest();
    phase_ = kSend;
  }
}

void LoadConnection::BuildRequest() {
  const bool absolute = !runner_->settings().direct && req_.kind != LoadRequest::kTunnel;
  const bool keep = req_.kind == LoadRequest::kKeepAlive;
  out_ = req_.method + " " + (absolute ? "http://" + req_.origin : std::string()) + req_.path +
         " HTTP/1.1\r\nHost: " + req_.origin + "\r\nUser-Agent: qv-load\r\n";
  out_ += keep ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
  if (keep && absolute)
    out_ += "Proxy-Connection: keep-alive\r\n";
  body_off_ = req_.body_len;
  if (req_.method == "POST") {
    out_ += "Content-Type: application/octet-stream\r\n";
    if (req_.chunked_upload) {
      out_ += "Transfer-Encoding: chunked\r\n\r\n";
      // Chunks of uneven sizes, one with an extension.
      size_t at = 0;
      for (size_t piece = 1000; at < req_.body_len; piece = piece * 3 % 17000 + 1) {
        const size_t n = req_.body_len - at < piece ? req_.body_len - at : piece;
        char line[48];
        snprintf(line, sizeof(line), at == 0 ? "%zx;part=first\r\n" : "%zX\r\n", n);
        out_ += line;
        out_.append(reinterpret_cast<const char*>(req_.body) + at, n);
        out_ += "\r\n";
        at += n;
      }
      out_ += "0\r\n\r\n";
    } else {
      out_ += "Content-Length: " + std::to_string(req_.body_len) + "\r\n\r\n";
      body_off_ = 0;
    }
  } else {
    out_ += "\r\n";
  }
  out_off_ = 0;
  in_.clear();
  status_ = 0;
  content_length_ = -1;
  x_sha_.clear();
  x_path_.clear();
  body_len_ = 0;
  extra_bytes_ = false;
}

void LoadConnection::OnEvent(uint32_t events) {
  if (phase_ == kConnecting) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
      err = errno;
    if (err == EINPROGRESS || (err == 0 && !(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))))
      return;
    if (err != 0) {
      End(kFailed, std::string("connect: ") + strerror(err), false);
      return;
    }
    AfterConnect();
  }
  Drive();
}

void LoadConnection::Drive() {
  for (;;) {
    Step step = kEnded;
    switch (phase_) {
      case kSendConnect:
      case kSend:
        step = SendOut();
        break;
      case kReadConnect:
        step = ReadConnectReply();
        break;
      case kHandshake:
        step = Handshake();
        break;
      case kReadHead:
        step = ReadHead();
        break;
      case kReadBody:
        step = ReadBody();
        break;
      default:
        return;
    }
    if (step == kEnded)
      return;
    if (step == kBlocked) {
      SetInterest(blocked_on_);
      return;
    }
  }
}

void LoadConnection::SetInterest(uint32_t events) {
  if (events == interest_ || fd_ < 0)
    return;
  epoll_event ev = {};
  ev.events = events;
  ev.data.ptr = this;
  epoll_ctl(runner_->epoll_fd(), EPOLL_CTL_MOD, fd_, &ev);
  interest_ = events;
}

ssize_t LoadConnection::Rx(char* buf, size_t len) {
  if (ssl_ != nullptr) {
    const int n = SSL_read(ssl_, buf, static_cast<int>(len));
    if (n > 0)
      return n;
    const int err = SSL_get_error(ssl_, n);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      blocked_on_ = err == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT;
      return 0;
    }
    if (err == SSL_ERROR_ZERO_RETURN)
      return -1;
    // A TCP close without close_notify ends the stream too; the framing checks tell the rest.
    const unsigned long e = ERR_peek_last_error();
    const bool eof =
        (err == SSL_ERROR_SYSCALL && e == 0) ||
        (err == SSL_ERROR_SSL && ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING);
    const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    error_ = reason != nullptr ? std::string("tls read: ") + reason
                               : std::string("tls read: ") + strerror(errno);
    ERR_clear_error();
    return eof ? -1 : -2;
  }
  const ssize_t n = recv(fd_, buf, len, 0);
  if (n > 0)
    return n;
  if (n == 0)
    return -1;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    blocked_on_ = EPOLLIN;
    return 0;
  }
  error_ = std::string("recv: ") + strerror(errno);
  return -2;
}

ssize_t LoadConnection::Tx(const char* buf, size_t len) {
  if (ssl_ != nullptr) {
    const int n = SSL_write(ssl_, buf, static_cast<int>(len));
    if (n > 0)
      return n;
    const int err = SSL_get_error(ssl_, n);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      blocked_on_ = err == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT;
      return 0;
    }
    ERR_clear_error();
    error_ = "tls write failed";
    return -2;
  }
  const ssize_t n = send(fd_, buf, len, MSG_NOSIGNAL);
  if (n >= 0)
    return n == 0 ? -2 : n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    blocked_on_ = EPOLLOUT;
    return 0;
  }
  error_ = std::string("send: ") + strerror(errno);
  return -2;
}

LoadConnection::Step LoadConnection::SendOut() {
  while (out_off_ < out_.size() || body_off_ < req_.body_len) {
    const bool head = out_off_ < out_.size();
    const char* data =
        head ? out_.data() + out_off_ : reinterpret_cast<const char*>(req_.body) + body_off_;
    const size_t len = head ? out_.size() - out_off_ : req_.body_len - body_off_;
    const ssize_t n = Tx(data, len > 65536 ? 65536 : len);
    if (n == 0)
      return kBlocked;
    if (n < 0)
      return Broken("sending the request");
    runner_->stats().bytes_out += static_cast<uint64_t>(n);
    last_progress_ = Now();
    (head ? out_off_ : body_off_) += static_cast<size_t>(n);
  }
  in_.clear();
  phase_ = phase_ == kSendConnect ? kReadConnect : kReadHead;
  return kProgress;
}

LoadConnection::Step LoadConnection::ReadConnectReply() {
  char buf[512];
  for (;;) {
    // Byte by byte would be slow; the reply is exactly one short head and nothing follows it
    // before our TLS hello.
    const ssize_t n = Rx(buf, sizeof(buf));
    if (n == 0)
      return kBlocked;
    if (n < 0)
      return Broken("reading the CONNECT reply");
    last_progress_ = Now();
    in_.append(buf, static_cast<size_t>(n));
    const size_t end = in_.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (in_.size() > kMaxHead) {
        End(kFailed, "CONNECT reply head too long", false);
        return kEnded;
      }
      continue;
    }
    if (in_.compare(0, 12, "HTTP/1.0 200") != 0 && in_.compare(0, 12, "HTTP/1.1 200") != 0) {
      End(kFailed, "CONNECT refused: " + in_.substr(0, in_.find('\r')), false);
      return kEnded;
    }
    if (in_.size() != end + 4 || in_ != kConnectReply) {
      End(kCorrupted, "CONNECT reply not as sent by the proxy: " + in_, false);
      return kEnded;
    }
    phase_ = kHandshake;
    return kProgress;
  }
}

LoadConnection::Step LoadConnection::Handshake() {
  if (ssl_ == nullptr) {
    ssl_ = SSL_new(runner_->ssl_ctx());
    SSL_set_fd(ssl_, fd_);
    SSL_set_connect_state(ssl_);
  }
  const int r = SSL_do_handshake(ssl_);
  if (r == 1) {
    last_progress_ = Now();
    BuildRequest();
    phase_ = kSend;
    return kProgress;
  }
  const int err = SSL_get_error(ssl_, r);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    blocked_on_ = err == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT;
    return kBlocked;
  }
  ERR_clear_error();
  return Broken("TLS handshake through the tunnel");
}

LoadConnection::Step LoadConnection::ReadHead() {
  char buf[16384];
  for (;;) {
    const ssize_t n = Rx(buf, sizeof(buf));
    if (n == 0)
      return kBlocked;
    if (n < 0) {
      if (reuse_attempt_ && in_.empty()) {
        Reconnect();
        return kEnded;
      }
      return Broken("reading the reply head");
    }
    last_progress_ = Now();
    runner_->stats().bytes_in += static_cast<uint64_t>(n);
    in_.append(buf, static_cast<size_t>(n));
    const size_t end = in_.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (in_.size() > kMaxHead) {
        End(kFailed, "reply head too long", false);
        return kEnded;
      }
      continue;
    }
    if (!ParseHead(in_.substr(0, end + 2))) {
      End(kFailed, "unreadable reply head: " + in_.substr(0, in_.find('\r')), false);
      return kEnded;
    }
    if (reuse_attempt_)
      ++runner_->stats().keepalive_reused;
    if (digest_ == nullptr)
      digest_ = EVP_MD_CTX_new();
    EVP_DigestInit_ex(digest_, EVP_sha256(), nullptr);
    phase_ = kReadBody;
    TakeBody(in_.data() + end + 4, in_.size() - end - 4);
    in_.clear();
    if (content_length_ >= 0 && body_len_ >= static_cast<uint64_t>(content_length_))
      return Complete(false);
    return kProgress;
  }
}

bool LoadConnection::ParseHead(const std::string& head) {
  if (head.compare(0, 7, "HTTP/1.") != 0 || head.size() < 12)
    return false;
  status_ = atoi(head.c_str() + 9);
  size_t at = head.find("\r\n");
  while (at != std::string::npos && at + 2 < head.size()) {
    const size_t start = at + 2;
    at = head.find("\r\n", start);
    const std::string line = head.substr(start, at - start);
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
      return false;
    const std::string name = line.substr(0, colon);
    size_t v = colon + 1;
    while (v < line.size() && line[v] == ' ')
      ++v;
    const std::string value = line.substr(v);
    if (strcasecmp(name.c_str(), "content-length") == 0) {
      if (content_length_ >= 0)
        return false;  // two lengths: no way to tell where the body ends
      content_length_ = atoll(value.c_str());
    } else if (strcasecmp(name.c_str(), "x-body-sha256") == 0) {
      x_sha_ = value;
    } else if (strcasecmp(name.c_str(), "x-path") == 0) {
      x_path_ = value;
    }
  }
  return status_ > 0;
}

void LoadConnection::TakeBody(const char* data, size_t len) {
  if (len == 0)
    return;
  size_t take = len;
  if (content_length_ >= 0) {
    const uint64_t left = static_cast<uint64_t>(content_length_) - body_len_;
    if (take > left) {
      take = static_cast<size_t>(left);
      extra_bytes_ = true;
    }
  }
  EVP_DigestUpdate(digest_, data, take);
  body_len_ += take;
}

LoadConnection::Step LoadConnection::ReadBody() {
  char buf[65536];
  for (;;) {
    const ssize_t n = Rx(buf, sizeof(buf));
    if (n == 0)
      return kBlocked;
    if (n == -1 && content_length_ < 0)
      return Complete(true);
    if (n < 0)
      return Broken("reading the reply body");
    last_progress_ = Now();
    runner_->stats().bytes_in += static_cast<uint64_t>(n);
    TakeBody(buf, static_cast<size_t>(n));
    if (content_length_ >= 0 && body_len_ >= static_cast<uint64_t>(content_length_))
      return Complete(false);
  }
}

LoadConnection::Step LoadConnection::Complete(bool by_close) {
  std::string why;
  const Outcome outcome = Evaluate(by_close, &why);
  // After a keep-alive request the next one tries the same connection.
  const bool keep = outcome == kOk && !by_close && req_.kind == LoadRequest::kKeepAlive;
  End(outcome, why, keep);
  return kEnded;
}

Outcome LoadConnection::Evaluate(bool by_close, std::string* why) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  EVP_DigestFinal_ex(digest_, md, &md_len);
  static const char kHex[] = "0123456789abcdef";
  std::string sha;
  for (unsigned int i = 0; i < md_len; ++i) {
    sha += kHex[md[i] >> 4];
    sha += kHex[md[i] & 15];
  }
  const std::string framing = by_close ? "ended by close" : "by Content-Length";
  if (status_ != 200) {
    *why = "status " + std::to_string(status_);
    return kFailed;
  }
  if (x_path_ != req_.path) {
    *why = "x-path \"" + x_path_ + "\"";
    return x_path_.empty() ? kCorrupted : kMisrouted;
  }
  const long long got = static_cast<long long>(body_len_);
  if (req_.expect_len >= 0 && got < req_.expect_len) {
    *why =
        std::to_string(got) + " of " + std::to_string(req_.expect_len) + " body bytes, " + framing;
    return kTruncatedAsComplete;
  }
  if (extra_bytes_ || (req_.expect_len >= 0 && got != req_.expect_len)) {
    *why = "body of " + std::to_string(got) + " bytes" +
           (extra_bytes_ ? " and more beyond Content-Length" : "");
    return kCorrupted;
  }
  if (sha != x_sha_ || (!req_.expect_sha256.empty() && sha != req_.expect_sha256)) {
    *why = "body digest " + sha + ", x-body-sha256 " + x_sha_;
    return kCorrupted;
  }
  return kOk;
}

LoadConnection::Step LoadConnection::Broken(const std::string& what) {
  if (reuse_attempt_ && phase_ == kSend) {
    Reconnect();
    return kEnded;
  }
  End(kClosed, what + ": " + (error_.empty() ? "closed" : error_), false);
  return kEnded;
}

void LoadConnection::Reconnect() {
  ++runner_->stats().keepalive_reconnects;
  Close();
  reuse_attempt_ = false;
  error_.clear();
  Open();
}

std::string LoadConnection::Describe(const std::string& why) const {
  char took[32];
  snprintf(took, sizeof(took), " after %.0f ms", (Now() - started_) * 1000.0);
  return "#" + std::to_string(req_.id) + " " + KindName(req_.kind) + " " + req_.method + " " +
         req_.origin + req_.path + " (" + PhaseName(phase_) + took + "): " + why;
}

void LoadConnection::End(Outcome outcome, const std::string& why, bool keep) {
  runner_->stats().Add(req_.kind, outcome, (Now() - started_) * 1000.0,
                       outcome == kOk ? std::string() : Describe(why));
  runner_->CountEnded();
  error_.clear();
  if (!keep) {
    Close();
  } else {
    kept_ = true;
    SetInterest(EPOLLIN);
  }
  phase_ = kIdle;
  runner_->Ready(this);
}

void LoadConnection::CheckTimeout(double now) {
  if (phase_ == kIdle)
    return;
  if ((now - last_progress_) * 1000.0 > runner_->settings().timeout_ms)
    End(kFailed, "no progress for " + std::to_string(runner_->settings().timeout_ms) + " ms",
        false);
}
