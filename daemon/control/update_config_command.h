#ifndef DAEMON_CONTROL_UPDATE_CONFIG_COMMAND_H
#define DAEMON_CONTROL_UPDATE_CONFIG_COMMAND_H

#include <memory>
#include <string>

#include "control/config_updater.h"
#include "control/control_command.h"
#include "control/update_config_listener.h"

// "updateconfig [host[:port]]": starts a download of the configuration file and replies at
// once; the outcome is broadcast to every client of the control socket when it ends. Without a
// word the server comes from HTTP2QUORVIN_CONFIG_SERVER. One download at a time.
//
// Replies to the requesting client (codes outside the listener's 500 and the status broadcasts'
// 100 to 500):
//   1   "UpdateConfigStarted."
//   501 "UpdateConfigBusy: a download is already running."
//   502 "UpdateConfigNoServer: no server given and HTTP2QUORVIN_CONFIG_SERVER is not set."
//   503 "UpdateConfigBadServer: \"<word>\" is not host or host:port." (or "one word only, ...")
//   504 "UpdateConfigFailed: can't start UpdateConfigThread."
// Broadcasts of the outcome (600 to 699, the range of unsolicited messages):
//   600 "config updated: <url>"
//   601 "config download failed: <error>"
//   602 "config rejected: <why>"
//   603 "config write failed: <what>"
class UpdateConfigCommand : public ControlCommand, private UpdateConfigListener {
 public:
  enum Code {
    kStartedCode = 1,
    kBusyCode = 501,
    kNoServerCode = 502,
    kBadServerCode = 503,
    kThreadFailedCode = 504,
    kUpdatedCode = 600,
    kFetchFailedCode = 601,
    kRejectedCode = 602,
    kWriteFailedCode = 603,
  };

  // Downloads replace ConfigUpdater::DefaultConfigPath().
  UpdateConfigCommand(SocketListener* listener, ProxyControl* app, OperateDB* db);
  UpdateConfigCommand(SocketListener* listener, ProxyControl* app, OperateDB* db,
                      const std::string& config_path);
  // Cancels a running download and waits for its thread.
  ~UpdateConfigCommand() override;

  int runCommand(SocketClient* client, int argc, char** argv) override;

  // The broadcast code and text of an outcome.
  static int OutcomeCode(const UpdateConfigOutcome& outcome);
  static std::string OutcomeText(const UpdateConfigOutcome& outcome);

 private:
  void OnUpdateConfigDone(const UpdateConfigOutcome& outcome) override;

  std::unique_ptr<ConfigUpdater> updater_;
};

#endif  // DAEMON_CONTROL_UPDATE_CONFIG_COMMAND_H
