#ifndef DAEMON_CORE_APP_INTERFACE_H
#define DAEMON_CORE_APP_INTERFACE_H

#include <string>

class CommandNotifier;

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
};

#endif  // DAEMON_CORE_APP_INTERFACE_H
