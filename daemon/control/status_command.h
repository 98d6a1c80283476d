#ifndef DAEMON_CONTROL_STATUS_COMMAND_H
#define DAEMON_CONTROL_STATUS_COMMAND_H

#include <string>

#include "control/control_command.h"
#include "core/link_counters.h"

// "status": what the daemon does now and what it carried since it started. Replies
//   {running:0|1,listen:IP:PORT,gateway:up|down,uptime:S,streams:N,linkDown:N,linkUp:N,
//    appDown:N,appUp:N,rttMs:N,level:N,sim:TEXT,config:PATH}
// listen is the proxy's address as bound while it runs (the configured one otherwise); link*
// are the bytes of the gateway's TLS socket, app* those delivered to and taken from
// applications; rttMs is the round trip of the last answered PING (0 before one).
class StatusCommand : public ControlCommand {
 public:
  StatusCommand(SocketListener* listener, ProxyControl* proxy, OperateDB* db);
  int runCommand(SocketClient* client, int argc, char** argv) override;

  struct Facts {
    bool running = false;
    std::string listen;  // IP:PORT
    int level = 0;
    std::string sim;
    std::string config;
  };
  // The reply's text.
  static std::string Format(const Facts& facts, const LinkCounters::Snapshot& counters);
};

#endif  // DAEMON_CONTROL_STATUS_COMMAND_H
