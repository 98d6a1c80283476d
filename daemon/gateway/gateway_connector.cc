#include "gateway/gateway_connector.h"

#include <errno.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "core/error_text.h"
#include "core/logging.h"
#include "net/create_listener.h"

namespace {

// Its lines are the gateway thread's, as when the handshake was made there.
const char kTag[] = "quorvin_thread";
const char kPinVariable[] = "HTTP2QUORVIN_GATE_PIN";

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
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

GatewayConnector::GatewayConnector(Owner* owner) : owner_(owner) {}

GatewayConnector::~GatewayConnector() {
  Release();
}

bool GatewayConnector::Start(EpollServer* loop, const std::string& address, const std::string& port,
                             int timeout_ms) {
  if (running())
    return true;
  deadline_ms_ = MonotonicMs() + timeout_ms;
  address_ = address;
  port_ = port;
  int fd = -1;
  const int rc = CreateConnectedSocket(&fd, address, port, true, true, true);
  if (rc < 0) {
    QV_LOGW(kTag, "Can't create connect socket");
    return false;
  }
  if (!loop->TryRegisterFD(fd, this, EPOLLIN | EPOLLOUT | EPOLLET)) {
    QV_LOGW(kTag, "Can't create connect socket");
    close(fd);
    return false;
  }
  loop_ = loop;
  fd_ = fd;
  connected_ = false;
  // A connect that is done already raises no event of its own.
  if (rc == 1)
    loop_->SetFDReady(fd_, EPOLLOUT);
  return true;
}

void GatewayConnector::OnEvent(int, EpollEvent*) {
  Step();
}

void GatewayConnector::OnShutdown(EpollServer*, int) {
  Release();
}

void GatewayConnector::CheckDeadline() {
  if (!running() || MonotonicMs() < deadline_ms_)
    return;
  if (!connected_) {
    QV_LOGW(kTag, "Can't create connect socket");
    QV_LOGW(kTag, "connect to %s:%s: %s", address_.c_str(), port_.c_str(),
            ErrorText(ETIMEDOUT).c_str());
  } else {
    const int err = ssl_ != nullptr ? SSL_get_error(ssl_, -1) : 0;
    QV_LOGW(kTag, "!SSL_connect %s", SslErrorText().c_str());
    QV_LOGW(kTag, "err %d %d", err, ETIMEDOUT);
    QV_LOGW(kTag, "!ssl_handshake %s", SslErrorText().c_str());
  }
  Fail();
}

void GatewayConnector::Step() {
  if (!running())
    return;
  if (!connected_) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
      err = errno;
    if (err == 0) {
      // SO_ERROR is 0 while the connect goes on too: only a socket with a peer is connected.
      struct sockaddr_in peer;
      socklen_t peer_len = sizeof(peer);
      if (getpeername(fd_, reinterpret_cast<struct sockaddr*>(&peer), &peer_len) != 0 &&
          errno == ENOTCONN)
        return;
    }
    if (err == EINPROGRESS || err == EALREADY)
      return;
    if (err != 0) {
      QV_LOGW(kTag, "Can't create connect socket");
      QV_LOGW(kTag, "connect to %s:%s: %s", address_.c_str(), port_.c_str(),
              ErrorText(err).c_str());
      Fail();
      return;
    }
    connected_ = true;
    if (!BeginHandshake()) {
      Fail();
      return;
    }
  }
  const int r = SSL_connect(ssl_);
  if (r <= 0) {
    const int err = SSL_get_error(ssl_, r);
    // The next readable or writable edge brings the next step.
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
      return;
    const int saved_errno = errno;
    QV_LOGW(kTag, "!SSL_connect %s", SslErrorText().c_str());
    QV_LOGW(kTag, "err %d %d", err, saved_errno);
    QV_LOGW(kTag, "!ssl_handshake %s", SslErrorText().c_str());
    Fail();
    return;
  }
  const char* pin = getenv(kPinVariable);
  if (pin != nullptr && pin[0] != '\0' && !CertificateMatchesPin(ssl_, pin)) {
    QV_LOGW(kTag, "!ssl_handshake %s", SslErrorText().c_str());
    Fail();
    return;
  }
  QV_LOGD(kTag, "quorvin connection ok");
  const int fd = fd_;
  SSL* ssl = ssl_;
  SSL_CTX* ctx = ctx_;
  loop_->UnregisterFD(fd_);
  fd_ = -1;
  ssl_ = nullptr;
  ctx_ = nullptr;
  owner_->OnGatewayConnected(fd, ssl, ctx);
}

bool GatewayConnector::BeginHandshake() {
  QV_LOGD(kTag, "continue handshake");
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  ctx_ = SSL_CTX_new(TLS_client_method());
  QV_LOGD(kTag, "ssl_ctx %p", static_cast<void*>(ctx_));
  if (ctx_ == nullptr) {
    QV_LOGW(kTag, "!ssl_ctx %s", SslErrorText().c_str());
    return false;
  }
  SSL_CTX_set_options(ctx_, SSL_OP_ALL);
  SSL_CTX_set_mode(ctx_, SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_mode(ctx_, SSL_MODE_RELEASE_BUFFERS);
  // Without it every TLS record costs two reads, its 5-byte header and then its body; with it
  // one read takes whatever has arrived. The session reads until SSL_read wants more, so no
  // record stays buffered unseen behind an edge-triggered descriptor.
  SSL_CTX_set_read_ahead(ctx_, 1);
  ssl_ = SSL_new(ctx_);
  if (ssl_ == nullptr) {
    QV_LOGW(kTag, "!SSL_new %s", SslErrorText().c_str());
    return false;
  }
  if (SSL_set_fd(ssl_, fd_) != 1) {
    QV_LOGW(kTag, "!SSL_set_fd %s", SslErrorText().c_str());
    QV_LOGW(kTag, "!ssl_handshake %s", SslErrorText().c_str());
    return false;
  }
  return true;
}

void GatewayConnector::Fail() {
  Release();
  ERR_clear_error();
  owner_->OnGatewayConnectFailed();
}

void GatewayConnector::Release() {
  if (fd_ >= 0 && loop_ != nullptr)
    loop_->UnregisterFD(fd_);
  if (ssl_ != nullptr)
    SSL_free(ssl_);
  ssl_ = nullptr;
  if (ctx_ != nullptr)
    SSL_CTX_free(ctx_);
  ctx_ = nullptr;
  if (fd_ >= 0)
    close(fd_);
  fd_ = -1;
  connected_ = false;
}
