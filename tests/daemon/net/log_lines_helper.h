#ifndef TESTS_DAEMON_NET_LOG_LINES_HELPER_H
#define TESTS_DAEMON_NET_LOG_LINES_HELPER_H

#include <string>
#include <vector>

// The messages of the lines written with priority letter `prio` and tag `tag` in a captured
// standard error ("W/tag(pid): message").
std::vector<std::string> LogMessages(const std::string& captured, char prio, const char* tag);

// Raises the daemon's log level for the lifetime of the object.
class ScopedLogLevel {
 public:
  explicit ScopedLogLevel(int level);
  ~ScopedLogLevel();

 private:
  int saved_;
};

#endif  // TESTS_DAEMON_NET_LOG_LINES_HELPER_H
