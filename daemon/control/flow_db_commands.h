#ifndef DAEMON_CONTROL_FLOW_DB_COMMANDS_H
#define DAEMON_CONTROL_FLOW_DB_COMMANDS_H

#include <string>
#include <vector>

#include "control/control_command.h"
#include "control/operate_db.h"

// The commands that only talk to the flow database: "sim" and the four queries.

// "sim <id>": the SIM id later figures are filed under. Replies "SetSimOkay.".
class SetSimCommand : public ControlCommand {
 public:
  SetSimCommand(SocketListener* listener, ProxyControl* app, OperateDB* db);
  int runCommand(SocketClient* client, int argc, char** argv) override;
};

// "query <begin> <end> <sim>" (compression totals) and "queryflow <begin> <end> <sim>"
// (bytes sent and received), dates "YYYY-MM-DD".
class QueryCommand : public ControlCommand {
 public:
  enum Kind { kCompression, kFlow };

  QueryCommand(Kind kind, SocketListener* listener, ProxyControl* app, OperateDB* db);
  int runCommand(SocketClient* client, int argc, char** argv) override;

  static std::string FormatReply(Kind kind, const FlowTotals& totals);

 private:
  const Kind kind_;
};

// "querydetail <begin> <end> <sim>" and "querydetailflow <begin> <end> <sim>": the same
// figures per application.
class QueryDetailCommand : public ControlCommand {
 public:
  QueryDetailCommand(QueryCommand::Kind kind, SocketListener* listener, ProxyControl* app,
                     OperateDB* db);
  int runCommand(SocketClient* client, int argc, char** argv) override;

  // "{Flow:[" and one item per application, commas between them, then "]}".
  static std::string FormatReply(QueryCommand::Kind kind, const std::vector<AppFlowTotals>& apps);

 private:
  const QueryCommand::Kind kind_;
};

#endif  // DAEMON_CONTROL_FLOW_DB_COMMANDS_H
