#ifndef DAEMON_CORE_LOGGING_H
#define DAEMON_CORE_LOGGING_H

#include <android/log.h>

#include "core/proxy_config.h"

// WARN is written when LOG_LEVEL > 0, DEBUG when LOG_LEVEL > 1. The level is read from the record
// as it stands, so messages written while it loads see the partly loaded value.
#define QV_LOGW(tag, ...)                                      \
  do {                                                         \
    if (GetProxyConfig()->log_level_ > 0)                      \
      __android_log_print(ANDROID_LOG_WARN, tag, __VA_ARGS__); \
  } while (0)

#define QV_LOGD(tag, ...)                                       \
  do {                                                          \
    if (GetProxyConfig()->log_level_ > 1)                       \
      __android_log_print(ANDROID_LOG_DEBUG, tag, __VA_ARGS__); \
  } while (0)

#endif  // DAEMON_CORE_LOGGING_H
