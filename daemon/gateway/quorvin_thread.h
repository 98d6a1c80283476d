#ifndef DAEMON_GATEWAY_QUORVIN_THREAD_H
#define DAEMON_GATEWAY_QUORVIN_THREAD_H

#include <stdint.h>

#include <memory>
#include <string>

#include "core/thread.h"
#include "gateway/back_connection.h"
#include "stream/gateway_link.h"

class CommandNotifier;
class EpollServer;
class QuorvinInterface;
class StreamDispatch;

// Owns the gateway connection of one proxy run and makes it on demand. Shaped as a thread but
// never started: every operation runs on the HttpThread.
class QuorvinThread : public Thread, public GatewayLink {
 public:
  explicit QuorvinThread(QuorvinInterface* session);
  ~QuorvinThread() override;

  void Run() override;

  void set_http_thread(StreamDispatch* http_thread);
  StreamDispatch* http_thread() const;
  void set_notifier(CommandNotifier* notifier);

  // Once per HttpThread loop iteration; every eleventh call runs the timeout check.
  void PeriodicCheck() override;
  // Connects, handshakes and greets the gateway on `loop` unless a connection is up. True when
  // a connection is active afterwards.
  bool StartConnection(EpollServer* loop) override;

  BackConnection* back_connection();

  // The value the opening SETTINGS carries for a device id.
  static uint64_t DeviceValue(const std::string& device_id);

  // Connect and handshake together may take at most this long.
  static constexpr int kDefaultHandshakeTimeoutMs = 5000;
  void set_handshake_timeout_ms(int ms) { handshake_timeout_ms_ = ms; }

 private:
  // A TLS connection to the gateway within the time limit. On failure everything the attempt
  // made is released.
  bool ConnectAndHandshake(const std::string& address, const std::string& port, int* fd, SSL** ssl,
                           SSL_CTX** ctx);
  void SendSettings();

  std::unique_ptr<EpollServer> epoll_server_;
  StreamDispatch* http_thread_ = nullptr;
  QuorvinInterface* session_;
  BackConnection back_connection_;
  CommandNotifier* notifier_ = nullptr;
  int tick_ = 0;
  int handshake_timeout_ms_ = kDefaultHandshakeTimeoutMs;
};

#endif  // DAEMON_GATEWAY_QUORVIN_THREAD_H
