#ifndef DAEMON_CONTROL_CONFIG_FILE_REPLACER_H
#define DAEMON_CONTROL_CONFIG_FILE_REPLACER_H

#include <stddef.h>

#include <string>

#include "control/update_config_listener.h"

// Puts a downloaded configuration in place of the daemon's file, or leaves the file untouched.
// The body must be non-empty, hold no NUL byte, and pass ConfigCheck against the file in place.
// It is written to a temporary file beside the target (mode 0644 at most), synced, and renamed
// over it, so the target is always either the old file or the whole new one. A target that is
// a symbolic link is not written.
class ConfigFileReplacer {
 public:
  explicit ConfigFileReplacer(const std::string& path);
  virtual ~ConfigFileReplacer() {}

  // kUpdated, kRejected or kWriteFailed (with `detail` set); logs a WARN for the last two.
  virtual UpdateConfigOutcome::Result Replace(const char* data, size_t size, std::string* detail);

  // Empty when the file at `path` may replace this replacer's file, else why not.
  std::string CheckLoadable(const char* path) const;

 private:
  UpdateConfigOutcome::Result Reject(const std::string& reason, std::string* detail);
  UpdateConfigOutcome::Result WriteFailed(const std::string& what, std::string* detail);

  std::string path_;
};

#endif  // DAEMON_CONTROL_CONFIG_FILE_REPLACER_H
