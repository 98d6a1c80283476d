#ifndef DAEMON_CONTROL_CONFIG_CHECK_H
#define DAEMON_CONTROL_CONFIG_CHECK_H

#include <string>

// What a downloaded configuration must be before it replaces the daemon's file: every key the
// loader reads, each within the range a shipped file keeps to, and no move of the listening
// address from loopback to one reachable from the network (that may only come from whoever
// builds the system image, never from a download).
class ConfigCheck {
 public:
  // Empty when the file at `candidate` may replace the one at `current`; otherwise why not,
  // naming the first key that is missing or wrong ("not a configuration, no DISABLE_NAGLE",
  // "LISTEN_PORT 70000 is out of range (0 to 65535)", ...). A `current` file that cannot be
  // read counts as listening on loopback.
  static std::string Check(const char* candidate, const char* current);
};

#endif  // DAEMON_CONTROL_CONFIG_CHECK_H
