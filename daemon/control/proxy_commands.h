#ifndef DAEMON_CONTROL_PROXY_COMMANDS_H
#define DAEMON_CONTROL_PROXY_COMMANDS_H

#include "control/control_command.h"

// The commands that drive the proxy: "start", "stop", "set" and "deviceid".

// "start": opens and prunes the flow database, starts the proxy with this command's notifier.
// Replies "StartOkay." (also when the proxy was already running), or 505 "StartFailed." when
// the flow database or the listening socket could not be opened (the log says which); the proxy
// then stays stopped.
class StartCommand : public ControlCommand {
 public:
  StartCommand(SocketListener* listener, ProxyControl* app, OperateDB* db);
  int runCommand(SocketClient* client, int argc, char** argv) override;
};

// "stop": stops the proxy, then writes the pending figures and closes the flow database.
// Replies "StopOkay."; nothing when the database cannot be closed (it then stays open, and a
// second "stop" tries again).
class StopCommand : public ControlCommand {
 public:
  StopCommand(SocketListener* listener, ProxyControl* app, OperateDB* db);
  int runCommand(SocketClient* client, int argc, char** argv) override;
};

// "set <level>": the image compression level. Replies "SetOkay.".
class SetCommand : public ControlCommand {
 public:
  SetCommand(SocketListener* listener, ProxyControl* app, OperateDB* db);
  int runCommand(SocketClient* client, int argc, char** argv) override;
};

// "deviceid <id>": the id the gateway is told. Replies "SetOkay.".
class SetDeviceIDCommand : public ControlCommand {
 public:
  SetDeviceIDCommand(SocketListener* listener, ProxyControl* app, OperateDB* db);
  int runCommand(SocketClient* client, int argc, char** argv) override;
};

#endif  // DAEMON_CONTROL_PROXY_COMMANDS_H
