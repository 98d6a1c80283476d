#include "control/update_config_command.h"

#include <sysutils/SocketClient.h>
#include <sysutils/SocketListener.h>

#include "core/logging.h"

namespace {

const char kTag[] = "control_message";

}  // namespace

UpdateConfigCommand::UpdateConfigCommand(SocketListener* listener, ProxyControl* app, OperateDB* db)
    : UpdateConfigCommand(listener, app, db, ConfigUpdater::DefaultConfigPath()) {}

UpdateConfigCommand::UpdateConfigCommand(SocketListener* listener, ProxyControl* app, OperateDB* db,
                                         const std::string& config_path)
    : ControlCommand("updateconfig", listener, app, db),
      updater_(new ConfigUpdater(config_path, this)) {}

UpdateConfigCommand::~UpdateConfigCommand() {
  updater_->Cancel();
}

int UpdateConfigCommand::runCommand(SocketClient* client, int argc, char** argv) {
  QV_LOGD(kTag, "updateconfig run");
  const std::string word = argc >= 2 ? argv[1] : "";
  ConfigUpdater::BeginResult result = ConfigUpdater::kBadServer;
  if (argc <= 2) {
    // The started reply goes out before the download's outcome can be broadcast.
    result = updater_->Begin(
        word, [client] { client->sendMsg(kStartedCode, "UpdateConfigStarted.", false); });
  } else {
    QV_LOGW(kTag, "updateconfig takes at most one word, host or host:port");
  }
  switch (result) {
    case ConfigUpdater::kStarted:
      return 0;
    case ConfigUpdater::kBusy:
      client->sendMsg(kBusyCode, "UpdateConfigBusy: a download is already running.", false);
      break;
    case ConfigUpdater::kNoServer:
      client->sendMsg(kNoServerCode,
                      "UpdateConfigNoServer: no server given and HTTP2QUORVIN_CONFIG_SERVER "
                      "is not set.",
                      false);
      break;
    case ConfigUpdater::kBadServer: {
      const std::string text =
          argc > 2 ? std::string("UpdateConfigBadServer: one word only, host or host:port.")
                   : "UpdateConfigBadServer: \"" + word + "\" is not host or host:port.";
      client->sendMsg(kBadServerCode, text.c_str(), false);
      break;
    }
    case ConfigUpdater::kThreadFailed:
      client->sendMsg(kThreadFailedCode, "UpdateConfigFailed: can't start UpdateConfigThread.",
                      false);
      break;
  }
  return -1;
}

int UpdateConfigCommand::OutcomeCode(const UpdateConfigOutcome& outcome) {
  switch (outcome.result) {
    case UpdateConfigOutcome::kUpdated:
      return kUpdatedCode;
    case UpdateConfigOutcome::kRejected:
      return kRejectedCode;
    case UpdateConfigOutcome::kWriteFailed:
      return kWriteFailedCode;
    case UpdateConfigOutcome::kFetchFailed:
      break;
  }
  return kFetchFailedCode;
}

std::string UpdateConfigCommand::OutcomeText(const UpdateConfigOutcome& outcome) {
  switch (outcome.result) {
    case UpdateConfigOutcome::kUpdated:
      return "config updated: " + outcome.url;
    case UpdateConfigOutcome::kRejected:
      return "config rejected: " + outcome.detail;
    case UpdateConfigOutcome::kWriteFailed:
      return "config write failed: " + outcome.detail;
    case UpdateConfigOutcome::kFetchFailed:
      break;
  }
  return "config download failed: " + outcome.detail;
}

void UpdateConfigCommand::OnUpdateConfigDone(const UpdateConfigOutcome& outcome) {
  const std::string text = OutcomeText(outcome);
  // Failures were logged where they happened; a replaced file is worth a line of its own.
  if (outcome.result == UpdateConfigOutcome::kUpdated)
    QV_LOGW(kTag, "updateconfig: %s replaced from %s, in effect at the next start",
            outcome.path.c_str(), outcome.url.c_str());
  if (listener_ != nullptr)
    listener_->sendBroadcast(OutcomeCode(outcome), text.c_str(), false);
}
