#include "control/flow_compress_listener.h"

#include "control/flow_db_commands.h"
#include "control/operate_db.h"
#include "control/proxy_commands.h"
#include "control/proxy_control.h"
#include "control/status_command.h"
#include "control/update_config_command.h"
#include "core/logging.h"

namespace {

const char kTag[] = "control_message";

}  // namespace

FlowCompressListener::FlowCompressListener(ProxyControl* app)
    : FrameworkListener("http2proxy"), app_(app), db_(new OperateDB()) {
  // The proxy and the database exist before the commands, so that every command and its
  // notifier holds them from construction on.
  OperateDB* db = db_.get();
  commands_.emplace_back(new StartCommand(this, app, db));
  commands_.emplace_back(new StopCommand(this, app, db));
  commands_.emplace_back(new SetCommand(this, app, db));
  commands_.emplace_back(new SetSimCommand(this, app, db));
  commands_.emplace_back(new SetDeviceIDCommand(this, app, db));
  commands_.emplace_back(new QueryCommand(QueryCommand::kCompression, this, app, db));
  commands_.emplace_back(new QueryDetailCommand(QueryCommand::kCompression, this, app, db));
  commands_.emplace_back(new QueryCommand(QueryCommand::kFlow, this, app, db));
  commands_.emplace_back(new QueryDetailCommand(QueryCommand::kFlow, this, app, db));
  commands_.emplace_back(new UpdateConfigCommand(this, app, db));
  commands_.emplace_back(new StatusCommand(this, app, db));
  for (auto& cmd : commands_)
    registerCmd(cmd.get());
  QV_LOGD(kTag, "FlowCompressListener end.");
}

FlowCompressListener::~FlowCompressListener() {
  // No command may run, and no proxy report to a notifier, while they are freed. A running
  // configuration download is cancelled when its command goes.
  stopListener();
  if (app_->started())
    app_->Stop();
  app_.reset();
  commands_.clear();
  db_.reset();
}
