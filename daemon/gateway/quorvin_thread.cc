#include "gateway/quorvin_thread.h"

#include <ctype.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

#include "control/command_notifier.h"
#include "core/error_text.h"
#include "core/logging.h"
#include "gateway/quorvin_interface.h"
#include "net/create_listener.h"
#include "net/name_resolver.h"
#include "spdy/spdy_frame_record.h"
#include "spdy/spdy_framer.h"
#include "stream/stream_dispatch.h"

namespace {

const char kTag[] = "quorvin_thread";
const char kPinVariable[] = "HTTP2QUORVIN_GATE_PIN";

// The gateway's address, resolved once per process.
std::mutex g_resolved_mutex;
std::string g_resolved_address;

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until `fd` shows `events` or the deadline passes; false on timeout or poll failure.
bool WaitFor(int fd, short events, int64_t deadline_ms) {
  while (true) {
    const int64_t left = deadline_ms - MonotonicMs();
    if (left <= 0)
      return false;
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0)
      return true;
    if (n < 0 && errno != EINTR)
      return false;
  }
}

std::string SslErrorText() {
  char text[256];
  ERR_error_string_n(ERR_get_error(), text, sizeof(text));
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// True when the peer's certificate hashes (SHA-256 over its DER) to the hex `pin`.
bool CertificateMatchesPin(SSL* ssl, const char* pin) {
  unsigned char want[32];
  if (strlen(pin) != 2 * sizeof(want)) {
    QV_LOGW(kTag, "%s is not a hex SHA-256", kPinVariable);
    return false;
  }
  for (size_t i = 0; i < sizeof(want); ++i) {
    const int hi = HexValue(pin[2 * i]);
    const int lo = HexValue(pin[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      QV_LOGW(kTag, "%s is not a hex SHA-256", kPinVariable);
      return false;
    }
    want[i] = static_cast<unsigned char>(hi * 16 + lo);
  }
  X509* cert = SSL_get1_peer_certificate(ssl);
  if (cert == nullptr) {
    QV_LOGW(kTag, "gateway presented no certificate to check against %s", kPinVariable);
    return false;
  }
  unsigned char got[EVP_MAX_MD_SIZE];
  unsigned int got_len = 0;
  const bool ok = X509_digest(cert, EVP_sha256(), got, &got_len) == 1 && got_len == sizeof(want) &&
                  memcmp(got, want, sizeof(want)) == 0;
  X509_free(cert);
  if (!ok)
    QV_LOGW(kTag, "gateway certificate does not match %s", kPinVariable);
  return ok;
}

}  // namespace

QuorvinThread::QuorvinThread(QuorvinInterface* session)
    : Thread("QuorvinThread"),
      epoll_server_(new EpollServer(1024)),
      session_(session),
      back_connection_(this, session) {}

QuorvinThread::~QuorvinThread() {
  if (back_connection_.initialized())
    back_connection_.Cleanup("OnShutdown", 1);
}

// The proxy never starts this object as a thread: the gateway connection lives on the
// HttpThread's loop, and this one stays empty.
void QuorvinThread::Run() {
  QV_LOGD(kTag, "QuorvinThread Run: the gateway connection runs on the HttpThread");
}

void QuorvinThread::set_http_thread(StreamDispatch* http_thread) {
  http_thread_ = http_thread;
}

StreamDispatch* QuorvinThread::http_thread() const {
  return http_thread_;
}

void QuorvinThread::set_notifier(CommandNotifier* notifier) {
  notifier_ = notifier;
}

BackConnection* QuorvinThread::back_connection() {
  return &back_connection_;
}

void QuorvinThread::PeriodicCheck() {
  if (tick_++ > 9) {
    tick_ = 0;
    if (back_connection_.initialized())
      back_connection_.CheckTimeout();
  }
}

uint64_t QuorvinThread::DeviceValue(const std::string& device_id) {
  bool digits = true;
  for (unsigned char c : device_id) {
    if (!isdigit(c)) {
      digits = false;
      break;
    }
  }
  // atoll's own conversion, with its clamp at LLONG_MAX for longer numbers made explicit.
  if (digits)
    return static_cast<uint64_t>(strtoll(device_id.c_str(), nullptr, 10));
  uint64_t h = 0;
  for (unsigned char c : device_id)
    h = h * 131 + c;
  return h;
}

bool QuorvinThread::StartConnection(EpollServer* loop) {
  if (back_connection_.initialized())
    return true;
  ProxyConfig* config = GetProxyConfig();
  std::string address;
  {
    std::lock_guard<std::mutex> lock(g_resolved_mutex);
    if (g_resolved_address.empty()) {
      const std::string resolved = ResolveHostToText(config->quorvin_gate_ip_);
      if (resolved.empty()) {
        QV_LOGW(kTag, "StartConnection answer == NULL");
        return false;
      }
      config->quorvin_gate_ip_ = resolved;
      g_resolved_address = resolved;
      QV_LOGD(kTag, "StartConnection answer  %s", resolved.c_str());
    }
    address = g_resolved_address;
  }

  int fd = -1;
  SSL* ssl = nullptr;
  SSL_CTX* ctx = nullptr;
  if (!ConnectAndHandshake(address, config->quorvin_gate_port_, &fd, &ssl, &ctx)) {
    if (notifier_ != nullptr)
      notifier_->OnInformation(2, "StartConnection err");
    return false;
  }
  // Attached before the HttpThread hears of it, so that a loop that refuses the descriptor is
  // one more failed attempt rather than a started connection with no socket behind it.
  if (back_connection_.InitBackConnection(loop, fd, ssl, ctx) != 0) {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    if (notifier_ != nullptr)
      notifier_->OnInformation(2, "StartConnection err");
    return false;
  }
  if (http_thread_ != nullptr)
    http_thread_->QuorvinConnectionStart();
  SendSettings();
  return true;
}

bool QuorvinThread::ConnectAndHandshake(const std::string& address, const std::string& port,
                                        int* fd_out, SSL** ssl_out, SSL_CTX** ctx_out) {
  const int64_t deadline = MonotonicMs() + handshake_timeout_ms_;
  int fd = -1;
  const int rc = CreateConnectedSocket(&fd, address, port, true, true, true);
  if (rc < 0) {
    QV_LOGW(kTag, "Can't create connect socket");
    return false;
  }
  if (rc == 0) {
    int err = ETIMEDOUT;
    if (WaitFor(fd, POLLOUT, deadline)) {
      socklen_t len = sizeof(err);
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    }
    if (err != 0) {
      QV_LOGW(kTag, "Can't create connect socket");
      QV_LOGW(kTag, "connect to %s:%s: %s", address.c_str(), port.c_str(), ErrorText(err).c_str());
      close(fd);
      return false;
    }
  }

  QV_LOGD(kTag, "continue handshake");
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  QV_LOGD(kTag, "ssl_ctx %p", static_cast<void*>(ctx));
  if (ctx == nullptr) {
    QV_LOGW(kTag, "!ssl_ctx %s", SslErrorText().c_str());
    close(fd);
    return false;
  }
  SSL_CTX_set_options(ctx, SSL_OP_ALL);
  SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  // Without it every TLS record costs two reads, its 5-byte header and then its body; with it
  // one read takes whatever has arrived. The session reads until SSL_read wants more, so no
  // record stays buffered unseen behind an edge-triggered descriptor.
  SSL_CTX_set_read_ahead(ctx, 1);

  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) {
    QV_LOGW(kTag, "!SSL_new %s", SslErrorText().c_str());
    SSL_CTX_free(ctx);
    close(fd);
    return false;
  }
  bool ok = false;
  if (SSL_set_fd(ssl, fd) != 1) {
    QV_LOGW(kTag, "!SSL_set_fd %s", SslErrorText().c_str());
  } else {
    while (true) {
      const int r = SSL_connect(ssl);
      if (r > 0) {
        ok = true;
        break;
      }
      const int err = SSL_get_error(ssl, r);
      const int saved_errno = errno;
      if ((err == SSL_ERROR_WANT_READ && WaitFor(fd, POLLIN, deadline)) ||
          (err == SSL_ERROR_WANT_WRITE && WaitFor(fd, POLLOUT, deadline)))
        continue;
      const bool timed_out = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE;
      QV_LOGW(kTag, "!SSL_connect %s", SslErrorText().c_str());
      QV_LOGW(kTag, "err %d %d", err, timed_out ? ETIMEDOUT : saved_errno);
      break;
    }
  }
  if (ok) {
    const char* pin = getenv(kPinVariable);
    if (pin != nullptr && pin[0] != '\0' && !CertificateMatchesPin(ssl, pin))
      ok = false;
  }
  if (!ok) {
    QV_LOGW(kTag, "!ssl_handshake %s", SslErrorText().c_str());
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    ERR_clear_error();
    return false;
  }
  SetNonBlocking(fd);
  QV_LOGD(kTag, "quorvin connection ok");
  *fd_out = fd;
  *ssl_out = ssl;
  *ctx_out = ctx;
  return true;
}

void QuorvinThread::SendSettings() {
  const std::string device_id = session_->device_id();
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  entries.emplace_back(0x64000000u, 1u);
  if (!device_id.empty()) {
    QV_LOGW(kTag, "device_id %s", device_id.c_str());
    const uint64_t value = DeviceValue(device_id);
    entries.emplace_back(0x65000000u, static_cast<uint32_t>(value >> 32));
    entries.emplace_back(0x66000000u, static_cast<uint32_t>(value & 0xffffffffu));
  } else {
    QV_LOGW(kTag, "device_id.size()==0");
  }
  SpdyFrameRecord* record = SpdyFrameRecord::Create(SpdyFramer::CreateSettings(entries));
  if (record == nullptr)
    return;
  record->stream_id = 0;
  back_connection_.EnqueueDataFrame(record);
}
