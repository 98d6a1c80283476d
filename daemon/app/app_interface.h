#ifndef DAEMON_APP_APP_INTERFACE_H
#define DAEMON_APP_APP_INTERFACE_H

#include <atomic>
#include <mutex>
#include <string>

#include "control/proxy_control.h"

class AcceptCallback;
class HttpThread;
class QuorvinInterface;
class QuorvinThread;

// One run of the proxy: Start builds the listening socket, the HttpThread and the gateway
// objects and wires them to each other; Stop joins the thread and destroys them. The one place
// that knows every module. Called from the control thread.
class AppInterface : public ProxyControl {
 public:
  AppInterface();
  ~AppInterface() override;

  AppInterface(const AppInterface&) = delete;
  AppInterface& operator=(const AppInterface&) = delete;

  // ProxyControl
  int Start(CommandNotifier* notifier) override;
  int Stop() override;
  void SetDeviceID(const char* id) override;
  void SetImageLevel(int level) override;
  bool started() const override;
  int image_level() const override { return image_level_.load(); }

 private:
  // Destroys what a run built, in the order the run's objects depend on each other.
  void TearDown();
  // The listening socket of a run that stopped stays bound to its port, no longer listening
  // (a client that connects is refused at once) and without SO_REUSEADDR, so that no other
  // process can bind the port while the proxy is stopped, with SO_REUSEADDR or without (the
  // kernel lets two sockets share a port only when both allow it and neither listens). The
  // next Start listens on it again. A port of 0 (any free port) is not kept: it is released.
  void Park(int fd);
  // The parked socket listening again; -1 when there is none or it cannot listen.
  int Unpark();

  // Serialises Start, Stop and the setters, so a setter never meets a run half torn down.
  mutable std::mutex mutex_;
  std::atomic<bool> started_{false};
  std::atomic<int> image_level_;
  HttpThread* http_thread_ = nullptr;
  QuorvinInterface* quorvin_interface_ = nullptr;
  QuorvinThread* quorvin_thread_ = nullptr;
  AcceptCallback* accept_callback_ = nullptr;
  int listen_fd_ = -1;
  int parked_fd_ = -1;
  std::string device_id_;
};

#endif  // DAEMON_APP_APP_INTERFACE_H
