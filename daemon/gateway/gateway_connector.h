#ifndef DAEMON_GATEWAY_GATEWAY_CONNECTOR_H
#define DAEMON_GATEWAY_GATEWAY_CONNECTOR_H

#include <openssl/ssl.h>
#include <stdint.h>

#include <string>

#include "net/epoll_server.h"

// One attempt at a TLS connection to the gateway, made on the loop without waiting: the TCP
// connect and then each step of the handshake run when the socket is ready, so the loop goes on
// serving every other client and tunnel meanwhile. The whole attempt has a deadline, checked
// once per loop iteration. Its owner hears how it ended, on the loop.
class GatewayConnector : public EpollCallback {
 public:
  class Owner {
   public:
    virtual ~Owner() {}
    // The handshake is done; the socket (non-blocking, no longer on the loop), the session and
    // its context are the owner's now.
    virtual void OnGatewayConnected(int fd, SSL* ssl, SSL_CTX* ctx) = 0;
    // The attempt failed and everything it made is released; the WARN lines said why.
    virtual void OnGatewayConnectFailed() = 0;
  };

  explicit GatewayConnector(Owner* owner);
  // An attempt still running is dropped, its socket closed, without telling the owner.
  ~GatewayConnector() override;

  GatewayConnector(const GatewayConnector&) = delete;
  GatewayConnector& operator=(const GatewayConnector&) = delete;

  // Starts an attempt on `loop` to the numeric `address` and `port`, ending within
  // `timeout_ms`. False when it failed at once (logged; nothing is left to release and the
  // owner is not called).
  bool Start(EpollServer* loop, const std::string& address, const std::string& port,
             int timeout_ms);
  bool running() const { return fd_ >= 0; }
  // Fails an attempt past its deadline.
  void CheckDeadline();

  // EpollCallback
  void OnRegistration(EpollServer*, int, int) override {}
  void OnModification(int, int) override {}
  void OnEvent(int fd, EpollEvent* event) override;
  void OnUnregistration(int, bool) override {}
  void OnShutdown(EpollServer*, int) override;

 private:
  // Moves the attempt on as far as the socket allows.
  void Step();
  // False (logged) when the TLS objects could not be made.
  bool BeginHandshake();
  void Fail();
  void Release();

  Owner* owner_;
  EpollServer* loop_ = nullptr;
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  bool connected_ = false;
  int64_t deadline_ms_ = 0;
  std::string address_;
  std::string port_;
};

#endif  // DAEMON_GATEWAY_GATEWAY_CONNECTOR_H
