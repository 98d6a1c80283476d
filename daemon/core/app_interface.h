#ifndef DAEMON_CORE_APP_INTERFACE_H
#define DAEMON_CORE_APP_INTERFACE_H

#include <atomic>
#include <mutex>
#include <string>

class AcceptCallback;
class CommandNotifier;
class HttpThread;
class QuorvinInterface;
class QuorvinThread;

// One run of the proxy: Start builds the listening socket, the HttpThread and the gateway
// objects; Stop joins the thread and destroys them. Called from the control thread.
class AppInterface {
 public:
  AppInterface();
  virtual ~AppInterface();

  AppInterface(const AppInterface&) = delete;
  AppInterface& operator=(const AppInterface&) = delete;

  // 0 started, 5 listening socket not created, 6 already started.
  virtual int Start(CommandNotifier* notifier);
  // 0 stopped, 7 not started.
  virtual int Stop();
  virtual void SetDeviceID(const char* id);
  virtual void SetImageLevel(int level);

  bool started() const;
  int image_level() const { return image_level_.load(); }

 private:
  // Destroys what a run built, in the order the run's objects depend on each other.
  void TearDown();

  // Serialises Start, Stop and the setters, so a setter never meets a run half torn down.
  mutable std::mutex mutex_;
  std::atomic<bool> started_{false};
  std::atomic<int> image_level_;
  HttpThread* http_thread_ = nullptr;
  QuorvinInterface* quorvin_interface_ = nullptr;
  QuorvinThread* quorvin_thread_ = nullptr;
  AcceptCallback* accept_callback_ = nullptr;
  int listen_fd_ = -1;
  std::string device_id_;
};

#endif  // DAEMON_CORE_APP_INTERFACE_H
