#ifndef DAEMON_CONTROL_CONTROL_COMMAND_H
#define DAEMON_CONTROL_CONTROL_COMMAND_H

#include <sysutils/FrameworkCommand.h>

#include <memory>
#include <string>

#include "control/flow_command_notifier.h"

class ProxyControl;
class OperateDB;
class SocketClient;
class SocketListener;

// Base of the control socket's commands: what every command may reach (the proxy, the flow
// database, the listener for broadcasts) and a notifier of its own, given to the proxy by
// "start".
class ControlCommand : public FrameworkCommand {
 public:
  ControlCommand(const char* name, SocketListener* listener, ProxyControl* app, OperateDB* db);
  ~ControlCommand() override;

  int runCommand(SocketClient* client, int argc, char** argv) override = 0;

  CommandNotifier* notifier() { return notifier_.get(); }

 protected:
  // Sends a code-1 reply.
  static void Reply(SocketClient* client, const std::string& text);
  // Sends a reply with another code.
  static void Reply(SocketClient* client, int code, const std::string& text);

  SocketListener* const listener_;
  ProxyControl* const app_;
  OperateDB* const db_;

 private:
  std::unique_ptr<FlowCommandNotifier> notifier_;
};

#endif  // DAEMON_CONTROL_CONTROL_COMMAND_H
