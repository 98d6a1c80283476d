#ifndef DAEMON_CONTROL_CONFIG_FILE_REPLACER_H
#define DAEMON_CONTROL_CONFIG_FILE_REPLACER_H

#include <stddef.h>

#include <string>

#include "control/update_config_listener.h"

// Puts a downloaded configuration in place of the daemon's file, or leaves the file untouched.
// The body must be non-empty, hold no NUL byte, and give the daemon's own loader the keys the
// proxy cannot run without. It is written to a temporary file beside the target, synced, and
// renamed over it, so the target is always either the old file or the whole new one.
class ConfigFileReplacer {
 public:
  explicit ConfigFileReplacer(const std::string& path);
  virtual ~ConfigFileReplacer() {}

  // kUpdated, kRejected or kWriteFailed (with `detail` set); logs a WARN for the last two.
  virtual UpdateConfigOutcome::Result Replace(const char* data, size_t size, std::string* detail);

  // Empty when a loaded file holds every key the proxy needs, else the reason it does not.
  static std::string CheckLoadable(const char* path);

 private:
  UpdateConfigOutcome::Result Reject(const std::string& reason, std::string* detail);
  UpdateConfigOutcome::Result WriteFailed(const std::string& what, std::string* detail);

  std::string path_;
};

#endif  // DAEMON_CONTROL_CONFIG_FILE_REPLACER_H
