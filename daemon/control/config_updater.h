#ifndef DAEMON_CONTROL_CONFIG_UPDATER_H
#define DAEMON_CONTROL_CONFIG_UPDATER_H

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "control/update_config_listener.h"

class UpdateConfigThread;

// Runs configuration downloads one at a time, each on an UpdateConfigThread, and hands each
// outcome to a listener. The HTTP client's settings and last-error record are process-wide, so
// a second download must not start while one runs.
class ConfigUpdater : private UpdateConfigListener {
 public:
  enum BeginResult {
    kStarted,       // the download runs; its outcome reaches the listener
    kBusy,          // a download is running already
    kNoServer,      // no server word and no HTTP2QUORVIN_CONFIG_SERVER
    kBadServer,     // the server word is not "host" or "host:port"
    kThreadFailed,  // the download's thread could not be created
  };

  // `config_path` is the file downloads replace (see DefaultConfigPath). `listener` (may be
  // null) hears each outcome on the download's thread, after the updater is no longer busy;
  // it must not call Begin or Wait from there.
  ConfigUpdater(const std::string& config_path, UpdateConfigListener* listener);
  // Waits for a running download.
  ~ConfigUpdater() override;

  ConfigUpdater(const ConfigUpdater&) = delete;
  ConfigUpdater& operator=(const ConfigUpdater&) = delete;

  // Starts a download from `server` ("host" or "host:port", port 8091 by default), or, when it
  // is empty, from HTTP2QUORVIN_CONFIG_SERVER. Returns at once; a WARN says why it refused.
  // `started`, when given, runs once the download runs and before its outcome can reach the
  // listener, so that whatever it says comes first.
  BeginResult Begin(const std::string& server, const std::function<void()>& started = nullptr);

  bool busy() const;
  // Waits until no download runs and its thread has ended.
  void Wait();
  // Makes a running download fail at once ("Download cancelled"; its outcome still reaches the
  // listener) and waits for it: for the end of the daemon, which must not hang on a stalled
  // server. Not to be called while another thread may call Begin.
  void Cancel();

  static bool ValidServer(const std::string& server);
  // The file the daemon reads: HTTP2QUORVIN_CONF, else the system path.
  static std::string DefaultConfigPath();

 private:
  void OnUpdateConfigDone(const UpdateConfigOutcome& outcome) override;

  const std::string config_path_;
  UpdateConfigListener* const listener_;
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  bool busy_ = false;
  std::unique_ptr<UpdateConfigThread> thread_;
};

#endif  // DAEMON_CONTROL_CONFIG_UPDATER_H
