#ifndef DAEMON_CONTROL_FLOW_COMMAND_NOTIFIER_H
#define DAEMON_CONTROL_FLOW_COMMAND_NOTIFIER_H

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>

#include "control/command_notifier.h"
#include "control/tcp_uid_lookup.h"

class OperateDB;
class SocketListener;

// The notifier a running proxy reports to: gateway status goes out as a broadcast on the
// control socket, traffic into the flow database under the UID that owns the client's port.
// Its listener and database are fixed at construction, so the proxy's thread and the control
// thread never race to fill them.
class FlowCommandNotifier : public CommandNotifier {
 public:
  // Tables from TcpUidLookup::DefaultFolder().
  FlowCommandNotifier(SocketListener* listener, OperateDB* db);
  FlowCommandNotifier(SocketListener* listener, OperateDB* db, const std::string& proc_net);
  ~FlowCommandNotifier() override;

  // Broadcast code and text for a status type.
  static void BroadcastFor(int type, int* code, const char** text);

  void OnInformation(int type, const std::string& text) override;
  void ReportFlow(int source_port, int bytes, int direction) override;
  void ReportCompression(int source_port, int uncompressed, int compressed) override;

 private:
  // The UID owning `source_port`, read from the tables at most once a second per port. A
  // client that has already closed its socket when the figure of its last read or write
  // arrives is no longer in the tables (or only in TIME_WAIT): the UID seen for its port
  // moments before stands in.
  int FindUid(int source_port);

  SocketListener* const listener_;
  OperateDB* const db_;
  const TcpUidLookup uids_;
  std::mutex recent_lock_;
  struct Seen {
    int uid;
    int64_t when_ms;  // monotonic time of the read that found it
  };
  std::map<int, Seen> recent_;
};

#endif  // DAEMON_CONTROL_FLOW_COMMAND_NOTIFIER_H
