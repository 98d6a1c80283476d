#ifndef DAEMON_CONTROL_UPDATE_CONFIG_THREAD_H
#define DAEMON_CONTROL_UPDATE_CONFIG_THREAD_H

#include <string>

#include "control/update_config_listener.h"
#include "core/thread.h"

// One download of the configuration file from the configuration server, and one replacement of
// the daemon's file with it. The new file takes effect at the daemon's next start.
class UpdateConfigThread : public Thread {
 public:
  static const int kDefaultPort = 8091;
  static const char kConfigUrlPath[];

  // `server` is "host" or "host:port"; `config_path` the file to replace. `listener` (may be
  // null) hears the outcome at the end of Run, on this thread.
  UpdateConfigThread(const std::string& server, const std::string& config_path,
                     UpdateConfigListener* listener);

  void Run() override;

  // The outcome of Run; complete once the thread is joined.
  const UpdateConfigOutcome& outcome() const { return outcome_; }

  // "http://" + server, with the default port when the server word names none, + the path.
  static std::string ConfigUrl(const std::string& server);

 private:
  std::string server_;
  std::string config_path_;
  UpdateConfigListener* listener_;
  UpdateConfigOutcome outcome_;
};

#endif  // DAEMON_CONTROL_UPDATE_CONFIG_THREAD_H
