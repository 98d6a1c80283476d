#include "control/config_check.h"

#include <arpa/inet.h>
#include <string.h>

#include "core/config_store.h"
#include "core/proxy_config.h"

namespace {

enum class Rule { kFlag, kNumber, kPort, kAddress, kHost, kToken };

struct KeyRule {
  const char* key;
  Rule rule;
  int min;
  int max;
};

// Every key the loader reads, with the values a shipped file keeps to.
const KeyRule kRules[] = {
    {"DISABLE_NAGLE", Rule::kFlag, 0, 1},
    {"LISTEN_IP", Rule::kAddress, 0, 0},
    // 0 takes any free port, as the loader has it.
    {"LISTEN_PORT", Rule::kPort, 0, 65535},
    {"QUORVIN_GATE_IP", Rule::kHost, 0, 0},
    {"QUORVIN_GATE_PORT", Rule::kPort, 1, 65535},
    {"SOCKET_READ_BUF_SIZE", Rule::kNumber, 1024, 1048576},
    {"ACCEPT_BACKLOG_SIZE", Rule::kNumber, 1, 65535},
    {"REUSEADDR", Rule::kFlag, 0, 1},
    {"LOG_LEVEL", Rule::kNumber, 0, 2},
    {"MAX_EPOLL_FD_SIZE", Rule::kNumber, 16, 65536},
    {"MAX_STREAM_PER_SESSION", Rule::kNumber, 1, 65535},
    {"MAX_FRONT_CONN_SIZE", Rule::kNumber, 1, 65535},
    {"MAX_SESSION_IDLE_TIME", Rule::kNumber, 1, 86400},
    {"MAX_FRONTEND_TIME", Rule::kNumber, 1, 86400},
    {"SPDY_SEGMENT_SIZE", Rule::kNumber, 1024, 1048576},
    {"MAX_SESSION_QUEUE_SIZE", Rule::kNumber, 1, 10000},
    // The kernel takes keep-alive times up to 32767 seconds.
    {"KEEP_ALIVE_TIME", Rule::kNumber, 1, 32767},
    {"CLEAR_INTERVAL", Rule::kNumber, 1, 3650},
    {"IMG_LEVEL", Rule::kNumber, 0, 3},
    {"IMG_TAG", Rule::kToken, 1, 64},
    {"PING_TIMEOUT", Rule::kNumber, 1, 86400},
};

const KeyRule* RuleOf(const char* key) {
  for (const KeyRule& r : kRules) {
    if (strcmp(r.key, key) == 0)
      return &r;
  }
  return nullptr;
}

// The value as it may be shown in a reply: printable, and not too long.
std::string Shown(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0' && out.size() < 40; ++p)
    out += (*p >= 0x20 && *p < 0x7f) ? *p : '?';
  return out;
}

bool IsHostText(const char* text) {
  const size_t n = strlen(text);
  if (n == 0 || n > 253 || text[0] == '-')
    return false;
  for (const char* p = text; *p != '\0'; ++p) {
    const char c = *p;
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
          c == '-'))
      return false;
  }
  return true;
}

bool IsTokenText(const char* text, size_t max) {
  const size_t n = strlen(text);
  if (n == 0 || n > max)
    return false;
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && strchr("!#$%&'*+-.^_`|~", c) == nullptr)
      return false;
  }
  return true;
}

// Why `text` does not suit `rule`; empty when it does.
std::string Judge(const KeyRule& rule, const char* text) {
  const std::string lead = std::string(rule.key) + " " + Shown(text);
  switch (rule.rule) {
    case Rule::kFlag:
    case Rule::kNumber:
    case Rule::kPort: {
      int value = 0;
      if (!ConfigStore::ParseNumber(text, &value))
        return lead + " is not a number";
      if (value < rule.min || value > rule.max) {
        if (rule.rule == Rule::kFlag)
          return lead + " is not 0 or 1";
        return lead + " is out of range (" + std::to_string(rule.min) + " to " +
               std::to_string(rule.max) + ")";
      }
      return std::string();
    }
    case Rule::kAddress: {
      struct in_addr address;
      if (inet_pton(AF_INET, text, &address) != 1)
        return lead + " is not a numeric IPv4 address";
      return std::string();
    }
    case Rule::kHost:
      return IsHostText(text) ? std::string() : lead + " is not a host name or address";
    case Rule::kToken:
      return IsTokenText(text, static_cast<size_t>(rule.max)) ? std::string()
                                                              : lead + " is not a header name";
  }
  return std::string();
}

bool IsLoopback(const std::string& text) {
  struct in_addr address;
  return inet_pton(AF_INET, text.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

}  // namespace

std::string ConfigCheck::Check(const char* candidate, const char* current) {
  // Records and stores of their own: the process-wide ones describe the running daemon.
  ProxyConfig loaded;
  ConfigStore store;
  loaded.Load(candidate, &store);
  for (size_t i = 0; i < ProxyConfig::KeyCount(); ++i) {
    const char* key = ProxyConfig::KeyName(i);
    const char* text = store.find(ProxyConfig::kSection, key);
    // The loader stops at the first key it cannot read, and every later one keeps its default
    // whatever the file says: such a file does not do what it says.
    const KeyRule* rule = RuleOf(key);
    int number = 0;
    const bool numeric =
        rule != nullptr &&
        (rule->rule == Rule::kFlag || rule->rule == Rule::kNumber || rule->rule == Rule::kPort);
    if (text == nullptr || text[0] == '\0' ||
        (numeric && ConfigStore::ParseNumber(text, &number) && number == -1))
      return std::string("not a configuration, no ") + key;
    if (rule == nullptr)
      continue;
    const std::string why = Judge(*rule, text);
    if (!why.empty())
      return why;
  }

  ProxyConfig in_place;
  ConfigStore in_place_store;
  in_place.Load(current, &in_place_store);
  const bool was_loopback = in_place.listen_ip_.empty() || IsLoopback(in_place.listen_ip_);
  if (was_loopback && !IsLoopback(loaded.listen_ip_))
    return "LISTEN_IP " + Shown(loaded.listen_ip_.c_str()) + " is not a loopback address (now " +
           (in_place.listen_ip_.empty() ? std::string("loopback") : in_place.listen_ip_) +
           "): a download may not open the proxy to the network";
  return std::string();
}
