#include "control/flow_command_notifier.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sysutils/SocketListener.h>
#include <time.h>

#include <string>

#include "control/day_number.h"
#include "control/operate_db.h"
#include "core/logging.h"

namespace {

const char kTag[] = "control_message";
// A port without an open connection whose UID was found within the last second is taken
// without reading the tables again (a busy client reports every 10 KB; a port is not handed to
// another connection that fast). How long a port's last UID stands in for a port gone from the
// tables, and how many ports are remembered before those older than that are dropped.
const int64_t kFreshMs = 1000;
const int64_t kRecentMs = 60 * 1000;
const size_t kRecentPorts = 1024;

int64_t NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

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
    auto it = owners_.find(source_port);
    if (it != owners_.end() && (it->second.open || NowMs() - it->second.seen_ms < kFreshMs))
      return it->second.uid;
  }
  const int uid = uids_.Find(source_port);
  const int64_t now = NowMs();
  std::lock_guard<std::mutex> lock(uid_lock_);
  auto it = owners_.find(source_port);
  if (uid == -1) {
    if (it != owners_.end() && now - it->second.seen_ms <= kRecentMs)
      return it->second.uid;
    return -1;
  }
  if (it != owners_.end()) {
    it->second.uid = uid;
    it->second.seen_ms = now;
    return uid;
  }
  if (owners_.size() >= kRecentPorts) {
    for (auto old = owners_.begin(); old != owners_.end();)
      old = (!old->second.open && now - old->second.seen_ms > kRecentMs) ? owners_.erase(old)
                                                                         : std::next(old);
  }
  owners_.emplace(source_port, PortOwner{uid, false, now});
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

void FlowCommandNotifier::ConnectionAccepted(int source_port, int fd,
                                             const SocketAddresses* addresses) {
  const int uid =
      addresses != nullptr && addresses->local_len != 0
          ? uids_.FindPeer(reinterpret_cast<const sockaddr*>(&addresses->client),
                           reinterpret_cast<const sockaddr*>(&addresses->local), source_port)
          : uids_.FindPeer(fd, source_port);
  std::lock_guard<std::mutex> lock(uid_lock_);
  if (uid == -1) {
    // Not found: looked for at each report. Nothing of an earlier connection stands in.
    owners_.erase(source_port);
    return;
  }
  owners_[source_port] = PortOwner{uid, true, NowMs()};
}

void FlowCommandNotifier::ConnectionClosed(int source_port) {
  std::lock_guard<std::mutex> lock(uid_lock_);
  auto it = owners_.find(source_port);
  if (it != owners_.end() && it->second.open) {
    it->second.open = false;
    it->second.seen_ms = NowMs();
  }
}
