#include "control/control_command.h"

#include <sysutils/SocketClient.h>

#include <string>

#include "core/logging.h"

namespace {

const char kTag[] = "control_command";

}  // namespace

ControlCommand::ControlCommand(const char* name, SocketListener* listener, ProxyControl* app,
                               OperateDB* db)
    : FrameworkCommand(name), listener_(listener), app_(app), db_(db) {
  QV_LOGD(kTag, "command constructed function.");
  notifier_.reset(new FlowCommandNotifier(listener, db));
  QV_LOGD(kTag, "command constructed function end.");
}

ControlCommand::~ControlCommand() {}

void ControlCommand::Reply(SocketClient* client, const std::string& text) {
  client->sendMsg(1, text.c_str(), false);
}

void ControlCommand::Reply(SocketClient* client, int code, const std::string& text) {
  client->sendMsg(code, text.c_str(), false);
}
