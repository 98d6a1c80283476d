#ifndef DAEMON_GATEWAY_QUORVIN_THREAD_H
#define DAEMON_GATEWAY_QUORVIN_THREAD_H

#include <stdint.h>

#include <string>

#include "core/thread.h"

class BackConnection;
class CommandNotifier;
class EpollServer;
class QuorvinInterface;
class StreamDispatch;

// Owns the gateway connection of one proxy run and makes it on demand. Shaped as a thread but
// never started: every operation runs on the HttpThread.
class QuorvinThread : public Thread {
 public:
  explicit QuorvinThread(QuorvinInterface* session);
  ~QuorvinThread() override;

  void Run() override;

  void set_http_thread(StreamDispatch* http_thread);
  StreamDispatch* http_thread() const;
  void set_notifier(CommandNotifier* notifier);

  // Once per HttpThread loop iteration; every eleventh call runs the timeout check.
  void PeriodicCheck();
  // Connects, handshakes and greets the gateway on `loop` unless a connection is up. True when
  // a connection is active afterwards.
  bool StartConnection(EpollServer* loop);

  BackConnection* back_connection();

  // The value the opening SETTINGS carries for a device id.
  static uint64_t DeviceValue(const std::string& device_id);
};

#endif  // DAEMON_GATEWAY_QUORVIN_THREAD_H
