#include "control/proxy_commands.h"

#include <stdlib.h>

#include "control/day_number.h"
#include "control/operate_db.h"
#include "control/proxy_control.h"
#include "core/logging.h"

namespace {

const char kTag[] = "control_message";
// Clear of 400 (the broadcast of a timeout) and of 501 to 504 (updateconfig's refusals).
const int kStartFailedCode = 505;

}  // namespace

StartCommand::StartCommand(SocketListener* listener, ProxyControl* app, OperateDB* db)
    : ControlCommand("start", listener, app, db) {}

int StartCommand::runCommand(SocketClient* client, int /*argc*/, char** /*argv*/) {
  QV_LOGD(kTag, "start run");
  int today = TodayDayNumber();
  // Without its database the proxy would count nothing, and without its socket it would serve
  // nothing: either is a start that failed, and is answered so.
  if (db_->CreateDB() != 0) {
    QV_LOGW(kTag, "start: the flow database cannot be opened");
    Reply(client, kStartFailedCode, "StartFailed.");
    return 0;
  }
  db_->ClearDB(today);
  if (app_->Start(notifier()) == 5) {
    QV_LOGW(kTag, "start: the listening socket cannot be opened");
    Reply(client, kStartFailedCode, "StartFailed.");
    return 0;
  }
  Reply(client, "StartOkay.");
  return 0;
}

StopCommand::StopCommand(SocketListener* listener, ProxyControl* app, OperateDB* db)
    : ControlCommand("stop", listener, app, db) {}

int StopCommand::runCommand(SocketClient* client, int /*argc*/, char** /*argv*/) {
  QV_LOGD(kTag, "stop run");
  // The proxy ends first, so that the figures of its last reads and writes are in the
  // database when it closes; closing writes what is still pending.
  app_->Stop();
  if (db_->CloseDB() == -1) {
    QV_LOGW(kTag, "closeDB error!");
    return -1;
  }
  Reply(client, "StopOkay.");
  return 0;
}

SetCommand::SetCommand(SocketListener* listener, ProxyControl* app, OperateDB* db)
    : ControlCommand("set", listener, app, db) {}

int SetCommand::runCommand(SocketClient* client, int argc, char** argv) {
  QV_LOGD(kTag, "set run");
  if (argc < 2) {
    QV_LOGW(kTag, "set argc < 2 ");
    return -1;
  }
  app_->SetImageLevel(atoi(argv[1]));
  Reply(client, "SetOkay.");
  return 0;
}

SetDeviceIDCommand::SetDeviceIDCommand(SocketListener* listener, ProxyControl* app, OperateDB* db)
    : ControlCommand("deviceid", listener, app, db) {}

int SetDeviceIDCommand::runCommand(SocketClient* client, int argc, char** argv) {
  QV_LOGD(kTag, "SetDeviceIDCommand run");
  if (argc < 2) {
    QV_LOGW(kTag, "SetDeviceIDCommand argc < 2 ");
    return -1;
  }
  if (argv[1] == nullptr) {
    QV_LOGW(kTag, "SetDeviceIDCommand deviceid==NULL ");
    return -1;
  }
  app_->SetDeviceID(argv[1]);
  Reply(client, "SetOkay.");
  return 0;
}
