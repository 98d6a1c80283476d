#include "control/flow_command_notifier.h"

#include <sysutils/SocketListener.h>

#include <time.h>

#include <string>

#include "control/day_number.h"
#include "control/operate_db.h"
#include "core/logging.h"

namespace {

const char kTag[] = "control_message";
// A port's UID found within the last second is taken without reading the tables again: one
// read walks the kernel's whole connection table, milliseconds on a large host, and a busy
// client reports every 10 KB. A port is not handed to another connection that fast.
const int64_t kFreshMs = 1000;
// How long a port's UID stands in for a connection gone from the tables, and how many ports
// are remembered before old ones are dropped.
const int64_t kRecentMs = 60 * 1000;
const size_t kRecentPorts = 1024;

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

FlowCommandNotifier::FlowCommandNotifier(SocketListener* listener, OperateDB* db)
    : listener_(listener), db_(db) {}

FlowCommandNotifier::FlowCommandNotifier(SocketListener* listener, OperateDB* db,
                                         const std::string& proc_net)
    : listener_(listener), db_(db), uids_(proc_net) {}

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

int FlowCommandNotifier::FindUid(int source_port) {
  {
    std::lock_guard<std::mutex> lock(recent_lock_);
    auto it = recent_.find(source_port);
    if (it != recent_.end() && NowMs() - it->second.when_ms < kFreshMs)
      return it->second.uid;
  }
  const int uid = uids_.Find(source_port);
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(recent_lock_);
  if (uid != -1) {
    if (recent_.size() >= kRecentPorts) {
      for (auto it = recent_.begin(); it != recent_.end();)
        it = now - it->second.when_ms > kRecentMs ? recent_.erase(it) : std::next(it);
    }
    recent_[source_port] = Seen{uid, now};
    return uid;
  }
  auto it = recent_.find(source_port);
  if (it != recent_.end() && now - it->second.when_ms <= kRecentMs)
    return it->second.uid;
  return -1;
}

void FlowCommandNotifier::ReportFlow(int source_port, int bytes, int direction) {
  int day = TodayDayNumber();
  int uid = FindUid(source_port);
  if (db_ != nullptr)
    db_->WriteDB(uid, day, direction != 0, bytes);
}

void FlowCommandNotifier::ReportCompression(int source_port, int uncompressed, int compressed) {
  int day = TodayDayNumber();
  int uid = FindUid(source_port);
  if (db_ != nullptr)
    db_->WriteCompressedDB(uid, day, uncompressed, compressed);
}
