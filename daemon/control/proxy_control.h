#ifndef DAEMON_CONTROL_PROXY_CONTROL_H
#define DAEMON_CONTROL_PROXY_CONTROL_H

class CommandNotifier;

// The proxy as the control commands drive it: one run at a time, and the two values the
// commands hand it. The daemon's wiring (AppInterface) implements it; the commands call it on
// the control thread.
class ProxyControl {
 public:
  virtual ~ProxyControl() {}
  // 0 started, 5 listening socket not created, 6 already started. The run reports its
  // gateway status and traffic to `notifier`.
  virtual int Start(CommandNotifier* notifier) = 0;
  // 0 stopped, 7 not started.
  virtual int Stop() = 0;
  virtual void SetDeviceID(const char* id) = 0;
  virtual void SetImageLevel(int level) = 0;
  virtual bool started() const = 0;
  virtual int image_level() const = 0;
};

#endif  // DAEMON_CONTROL_PROXY_CONTROL_H
