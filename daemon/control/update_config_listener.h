#ifndef DAEMON_CONTROL_UPDATE_CONFIG_LISTENER_H
#define DAEMON_CONTROL_UPDATE_CONFIG_LISTENER_H

#include <string>

// How one configuration download ended.
struct UpdateConfigOutcome {
  enum Result {
    kUpdated,      // the file was replaced by the downloaded one
    kFetchFailed,  // the download failed; `detail` is the http_perror text
    kRejected,     // the body is no usable configuration; `detail` says why
    kWriteFailed,  // the new file could not be written; `detail` says what failed
  };

  Result result = kFetchFailed;
  std::string url;
  std::string path;  // the configuration file
  std::string detail;
};

// Hears the outcome of each download, on the download's thread.
class UpdateConfigListener {
 public:
  virtual ~UpdateConfigListener() {}
  virtual void OnUpdateConfigDone(const UpdateConfigOutcome& outcome) = 0;
};

#endif  // DAEMON_CONTROL_UPDATE_CONFIG_LISTENER_H
