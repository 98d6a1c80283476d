#include "daemon/net/log_lines_helper.h"

#include <sstream>

#include "core/proxy_config.h"

std::vector<std::string> LogMessages(const std::string& captured, char prio, const char* tag) {
  const std::string prefix = std::string(1, prio) + "/" + tag + "(";
  std::vector<std::string> messages;
  std::istringstream in(captured);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0)
      continue;
    const size_t end = line.find("): ", prefix.size());
    if (end != std::string::npos)
      messages.push_back(line.substr(end + 3));
  }
  return messages;
}

ScopedLogLevel::ScopedLogLevel(int level) : saved_(GetProxyConfig()->log_level_) {
  GetProxyConfig()->log_level_ = level;
}

ScopedLogLevel::~ScopedLogLevel() {
  GetProxyConfig()->log_level_ = saved_;
}
