#include "control/flow_db_commands.h"

#include <inttypes.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "control/day_number.h"
#include "core/logging.h"

namespace {

const char kTag[] = "control_message";

// The day range of argv[1] and argv[2]; false (logged) when a date is too short.
bool DayRange(char** argv, int* begin, int* end) {
  return DayNumberOfDate(argv[1], begin) && DayNumberOfDate(argv[2], end);
}

std::string Format(const char* fmt, int64_t a, int64_t b) {
  char buf[96];
  snprintf(buf, sizeof(buf), fmt, a, b);
  return buf;
}

}  // namespace

SetSimCommand::SetSimCommand(SocketListener* listener, ProxyControl* app, OperateDB* db)
    : ControlCommand("sim", listener, app, db) {}

int SetSimCommand::runCommand(SocketClient* client, int argc, char** argv) {
  QV_LOGD(kTag, "setsim run");
  if (argc < 2) {
    QV_LOGW(kTag, "setsim argc < 2 ");
    return -1;
  }
  db_->SetSimId(argv[1]);
  Reply(client, "SetSimOkay.");
  return 0;
}

QueryCommand::QueryCommand(Kind kind, SocketListener* listener, ProxyControl* app, OperateDB* db)
    : ControlCommand(kind == kFlow ? "queryflow" : "query", listener, app, db), kind_(kind) {}

std::string QueryCommand::FormatReply(Kind kind, const FlowTotals& totals) {
  if (kind == kFlow)
    return Format("allFlow:{up:%" PRId64 ",down:%" PRId64 "}", totals.up, totals.down);
  return Format("allFlow:{original:%" PRId64 ",compressed:%" PRId64 "}", totals.uncompressed,
                totals.compressed);
}

int QueryCommand::runCommand(SocketClient* client, int argc, char** argv) {
  QV_LOGD(kTag, "%s", kind_ == kFlow ? "queryflow run" : "query run");
  if (argc < 4) {
    QV_LOGW(kTag, "%s argc < 4 ", getCommand());
    return -1;
  }
  int begin;
  int end;
  if (!DayRange(argv, &begin, &end))
    return -1;
  FlowTotals totals;
  db_->ReadDB(&totals, begin, end, argv[3]);
  Reply(client, FormatReply(kind_, totals));
  return 0;
}

QueryDetailCommand::QueryDetailCommand(QueryCommand::Kind kind, SocketListener* listener,
                                       ProxyControl* app, OperateDB* db)
    : ControlCommand(kind == QueryCommand::kFlow ? "querydetailflow" : "querydetail", listener, app,
                     db),
      kind_(kind) {}

std::string QueryDetailCommand::FormatReply(QueryCommand::Kind kind,
                                            const std::vector<AppFlowTotals>& apps) {
  std::string reply = "{Flow:[";
  char item[128];
  for (size_t i = 0; i < apps.size(); ++i) {
    const FlowTotals& f = apps[i].flow;
    if (kind == QueryCommand::kFlow)
      snprintf(item, sizeof(item), "{up:%" PRId64 ",down:%" PRId64 ",appUID:%d}", f.up, f.down,
               apps[i].uid);
    else
      snprintf(item, sizeof(item), "{original:%" PRId64 ",compressed:%" PRId64 ",appUID:%d}",
               f.uncompressed, f.compressed, apps[i].uid);
    if (i > 0)
      reply += ',';
    reply += item;
  }
  reply += "]}";
  return reply;
}

int QueryDetailCommand::runCommand(SocketClient* client, int argc, char** argv) {
  QV_LOGD(kTag, "%s", kind_ == QueryCommand::kFlow ? "querydetailflow run!" : "querydetail run!");
  if (argc < 4) {
    QV_LOGD(kTag, "Parameters are not enough");
    QV_LOGW(kTag, "%s argc < 4 ", getCommand());
    return -1;
  }
  int begin;
  int end;
  if (!DayRange(argv, &begin, &end))
    return -1;
  std::vector<AppFlowTotals> apps;
  db_->ReaddetailDB(&apps, begin, end, argv[3]);
  std::string reply = FormatReply(kind_, apps);
  QV_LOGD(kTag, "querydetail result = \n %s", reply.c_str());
  Reply(client, reply);
  return 0;
}
