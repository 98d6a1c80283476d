// Loads the configuration before any test captures standard error (its first use logs that
// the system file is missing) and fixes the levels the tests expect: WARN lines only.
#include "core/proxy_config.h"

namespace {

struct ConfigAtStart {
  ConfigAtStart() {
    GetProxyConfig()->log_level_ = 1;
    GetProxyConfig()->clear_interval_ = 30;
  }
} config_at_start;

}  // namespace
