#ifndef DAEMON_CONTROL_COMMAND_NOTIFIER_H
#define DAEMON_CONTROL_COMMAND_NOTIFIER_H

#include <string>

#include "net/socket_addresses.h"

// Where a running proxy reports the gateway connection's status and every client's traffic.
// The "start" command's notifier implements it: it broadcasts the status on the control socket
// and writes the figures to the flow database under the UID that owns the client socket.
class CommandNotifier {
 public:
  virtual ~CommandNotifier() {}
  // Gateway status: 4 started, 0 normal end, 1 timeout, 3 connection down, 2 cannot connect.
  virtual void OnInformation(int type, const std::string& text) = 0;
  // Bytes moved on a client connection; direction 1 sent by the application, 0 received by it.
  virtual void ReportFlow(int source_port, int bytes, int direction) = 0;
  // Sizes before and after the gateway compressed an image for the client.
  virtual void ReportCompression(int source_port, int uncompressed, int compressed) = 0;
  // A client connection from `source_port` was accepted as descriptor `fd`: its owner may be
  // looked up now, once. `addresses`, when not null, are the connection's two ends as the
  // accept told them. Called on the thread that reports its traffic.
  virtual void ConnectionAccepted(int /*source_port*/, int /*fd*/,
                                  const SocketAddresses* /*addresses*/) {}
  // The client connection from `source_port` closed: its port may next belong to another
  // application. Called on the thread that reports its traffic.
  virtual void ConnectionClosed(int /*source_port*/) {}
};

#endif  // DAEMON_CONTROL_COMMAND_NOTIFIER_H
