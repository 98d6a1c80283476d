#ifndef DAEMON_CONTROL_FLOW_COMMAND_NOTIFIER_H
#define DAEMON_CONTROL_FLOW_COMMAND_NOTIFIER_H

#include <stdint.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "control/command_notifier.h"
#include "control/tcp_uid_lookup.h"

class OperateDB;
class SocketListener;

// The notifier a running proxy reports to: gateway status goes out as a broadcast on the
// control socket, traffic into the flow database under the UID that owns the client's port.
// Its listener and database are fixed at construction, so the proxy's thread and the control
// thread never race to fill them.
// A connection's owner cannot change while it is open: the UID of a connection the proxy
// announces (ConnectionAccepted) is looked up once, by the connection's own addresses, and kept
// until ConnectionClosed, rather than searched for in the kernel's tables on every read and
// write. Traffic of a port without an open connection is looked up at each report; when the
// tables no longer list the port (its client just closed), the UID the port had in the last
// minute stands in.
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
  void ConnectionAccepted(int source_port, int fd, const SocketAddresses* addresses) override;
  void ConnectionClosed(int source_port) override;

  // Benchmarks only: with HTTP2QUORVIN_BENCH_DISCARD_FLOWS=1 in the environment at
  // construction, figures are looked up but never reach the database.
  static const char kDiscardVariable[];

 private:
  int UidOf(int source_port);

  struct PortOwner {
    int uid;
    bool open;        // a connection announced and not yet closed: the UID is final
    int64_t seen_ms;  // when last found in the tables, or when its connection closed
  };

  SocketListener* const listener_;
  OperateDB* const db_;
  const TcpUidLookup uids_;
  const bool discard_;
  std::mutex uid_lock_;
  std::unordered_map<int, PortOwner> owners_;  // by source port
};

#endif  // DAEMON_CONTROL_FLOW_COMMAND_NOTIFIER_H
