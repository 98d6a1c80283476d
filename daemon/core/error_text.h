#ifndef DAEMON_CORE_ERROR_TEXT_H
#define DAEMON_CORE_ERROR_TEXT_H

#include <string>

// The system's text for an errno value, as the log lines and error replies quote it. Safe on
// every thread (strerror_r).
std::string ErrorText(int err);

#endif  // DAEMON_CORE_ERROR_TEXT_H
