#ifndef DAEMON_GATEWAY_QUORVIN_THREAD_H
#define DAEMON_GATEWAY_QUORVIN_THREAD_H

#include <stdint.h>

#include <memory>
#include <string>

#include "core/thread.h"
#include "gateway/back_connection.h"
#include "gateway/gateway_connector.h"
#include "stream/gateway_link.h"

class AsyncResolver;

class CommandNotifier;
class EpollServer;
class QuorvinInterface;
class StreamDispatch;

// Owns the gateway connection of one proxy run and makes it on demand. Shaped as a thread but
// never started: every operation runs on the HttpThread.
class QuorvinThread : public Thread, public GatewayLink, private GatewayConnector::Owner {
 public:
  explicit QuorvinThread(QuorvinInterface* session);
  ~QuorvinThread() override;

  void Run() override;

  void set_http_thread(StreamDispatch* http_thread);
  StreamDispatch* http_thread() const;
  void set_notifier(CommandNotifier* notifier);

  // Once per HttpThread loop iteration; every eleventh call runs the timeout check. Every call
  // moves a connection attempt on (its name lookup, its deadline).
  void PeriodicCheck() override;
  // Unless a connection is up or on its way, starts one on `loop`: the gateway's name is looked
  // up (once per process, off the loop), then the connect and the handshake run on the loop,
  // and the connection is greeted. kDown when no attempt could be started.
  State StartConnection(EpollServer* loop) override;
  // An attempt is on its way.
  bool connecting() const { return resolving_ || connector_.running(); }

  BackConnection* back_connection();

  // The value the opening SETTINGS carries for a device id.
  static uint64_t DeviceValue(const std::string& device_id);

  // Connect and handshake together may take at most this long.
  static constexpr int kDefaultHandshakeTimeoutMs = 5000;
  // And the gateway's name lookup this long.
  static constexpr int kLookupTimeoutMs = 10000;
  void set_handshake_timeout_ms(int ms) { handshake_timeout_ms_ = ms; }

 private:
  // GatewayConnector::Owner
  void OnGatewayConnected(int fd, SSL* ssl, SSL_CTX* ctx) override;
  void OnGatewayConnectFailed() override;
  // Starts the connect to the resolved address; false when it failed at once.
  bool BeginConnect();
  // The gateway's name lookup ended (or ran out of time).
  void TakeLookup();
  void SendSettings();

  std::unique_ptr<EpollServer> epoll_server_;
  StreamDispatch* http_thread_ = nullptr;
  QuorvinInterface* session_;
  BackConnection back_connection_;
  CommandNotifier* notifier_ = nullptr;
  int tick_ = 0;
  int handshake_timeout_ms_ = kDefaultHandshakeTimeoutMs;
  GatewayConnector connector_;
  EpollServer* loop_ = nullptr;
  std::unique_ptr<AsyncResolver> resolver_;
  bool resolving_ = false;
};

#endif  // DAEMON_GATEWAY_QUORVIN_THREAD_H
