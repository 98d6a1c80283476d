#include "control/flow_command_notifier.h"

#include <stdlib.h>
#include <string.h>
#include <sysutils/SocketListener.h>

#include <string>

#include "control/day_number.h"
#include "control/operate_db.h"
#include "core/logging.h"

namespace {

const char kTag[] = "control_message";

bool DiscardRequested() {
  const char* value = getenv(FlowCommandNotifier::kDiscardVariable);
  return value != nullptr && strcmp(value, "1") == 0;
}

}  // namespace

const char FlowCommandNotifier::kDiscardVariable[] = "HTTP2QUORVIN_BENCH_DISCARD_FLOWS";

FlowCommandNotifier::FlowCommandNotifier(SocketListener* listener, OperateDB* db)
    : FlowCommandNotifier(listener, db, TcpUidLookup::DefaultFolder()) {}

FlowCommandNotifier::FlowCommandNotifier(SocketListener* listener, OperateDB* db,
                                         const std::string& proc_net)
    : listener_(listener), db_(db), uids_(proc_net), discard_(DiscardRequested()) {}

FlowCommandNotifier::~FlowCommandNotifier() {}

void FlowCommandNotifier::BroadcastFor(int type, int* code, const char** text) {
  switch (type) {
    case 1:
      *code = 400;
      *text = "Disconnect for timeout.";
      break;
    case 2:
    case 5:
      *code = 200;
      *text = "connection unsucceed.";
      break;
    case 3:
      *code = 500;
      *text = "server disconnection";
      break;
    case 4:
    case 6:
      *code = 100;
      *text = "connection succeed.";
      break;
    default:
      *code = 300;
      *text = "disconnect normal.";
      break;
  }
}

void FlowCommandNotifier::OnInformation(int type, const std::string& text) {
  QV_LOGD(kTag, "OnInformation.    ");
  QV_LOGD(kTag, "information about network status are \"%s\"", text.c_str());
  int code;
  const char* message;
  BroadcastFor(type, &code, &message);
  if (listener_ != nullptr)
    listener_->sendBroadcast(code, message, false);
}

int FlowCommandNotifier::UidOf(int source_port) {
  {
    std::lock_guard<std::mutex> lock(uid_lock_);
    auto it = uid_of_port_.find(source_port);
    if (it != uid_of_port_.end())
      return it->second;
  }
  const int uid = uids_.Find(source_port);
  // A port the tables do not list is looked for again at the next report.
  if (uid != -1) {
    std::lock_guard<std::mutex> lock(uid_lock_);
    uid_of_port_[source_port] = uid;
  }
  return uid;
}

void FlowCommandNotifier::ReportFlow(int source_port, int bytes, int direction) {
  int day = TodayDayNumber();
  int uid = UidOf(source_port);
  if (db_ != nullptr && !discard_)
    db_->AddFlow(uid, day, direction != 0, bytes);
}

void FlowCommandNotifier::ReportCompression(int source_port, int uncompressed, int compressed) {
  int day = TodayDayNumber();
  int uid = UidOf(source_port);
  if (db_ != nullptr && !discard_)
    db_->AddCompressed(uid, day, uncompressed, compressed);
}

void FlowCommandNotifier::ConnectionClosed(int source_port) {
  std::lock_guard<std::mutex> lock(uid_lock_);
  uid_of_port_.erase(source_port);
}
