#include "core/proxy_config.h"

#include <android/log.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/config_store.h"

namespace {

const char kTag[] = "config";

enum class Kind { kBool, kInt, kString };

struct KeySpec {
  const char* key;
  Kind kind;
  const char* error;
  bool ProxyConfig::*bool_field;
  int ProxyConfig::*int_field;
  std::string ProxyConfig::*string_field;
};

#define QV_BOOL_KEY(key, field, msg) \
  { key, Kind::kBool, msg, &ProxyConfig::field, nullptr, nullptr }
#define QV_INT_KEY(key, field, msg) \
  { key, Kind::kInt, msg, nullptr, &ProxyConfig::field, nullptr }
#define QV_STR_KEY(key, field, msg) \
  { key, Kind::kString, msg, nullptr, nullptr, &ProxyConfig::field }

// The order in which keys are read; loading stops at the first failure.
const KeySpec kKeys[] = {
    QV_BOOL_KEY("DISABLE_NAGLE", disable_nagle_, "config disable_nagle_ read error"),
    QV_STR_KEY("LISTEN_IP", listen_ip_, "config listen_ip_ read error"),
    QV_STR_KEY("LISTEN_PORT", listen_port_, "config listen_port_ read error"),
    QV_STR_KEY("QUORVIN_GATE_IP", quorvin_gate_ip_, "config quorvin_gate_ip_ read error"),
    QV_STR_KEY("QUORVIN_GATE_PORT", quorvin_gate_port_, "config quorvin_gate_port_ read error"),
    QV_INT_KEY("SOCKET_READ_BUF_SIZE", socket_read_buf_size,
               "config socket_read_buf_size read error"),
    QV_INT_KEY("ACCEPT_BACKLOG_SIZE", accept_backlog_size_,
               "config accept_backlog_size_ read error"),
    QV_BOOL_KEY("REUSEADDR", reuseaddr_, "config reuseaddr_ read error"),
    QV_INT_KEY("LOG_LEVEL", log_level_, "config log_level_ read error"),
    QV_INT_KEY("MAX_EPOLL_FD_SIZE", max_epoll_fd_size_, "config max_epoll_fd_size_ read error"),
    QV_INT_KEY("MAX_STREAM_PER_SESSION", max_stream_per_session_,
               "config max_stream_per_session_ read error"),
    QV_INT_KEY("MAX_FRONT_CONN_SIZE", max_front_conn_size_,
               "config max_front_conn_size_ read error"),
    QV_INT_KEY("MAX_SESSION_IDLE_TIME", max_session_idle_time_,
               "config max_session_idle_time_ read error"),
    QV_INT_KEY("MAX_FRONTEND_TIME", max_frontend_time_, "config max_frontend_time_ read error"),
    QV_INT_KEY("SPDY_SEGMENT_SIZE", spdy_segment_size, "config spdy_segment_size read error"),
    QV_INT_KEY("MAX_SESSION_QUEUE_SIZE", max_session_queue_size_,
               "config max_session_queue_size_ read error"),
    QV_INT_KEY("KEEP_ALIVE_TIME", keep_alive_time_, "config keep_alive_time_ read error"),
    QV_INT_KEY("CLEAR_INTERVAL", clear_interval_, "config clear_interval_ read error"),
    QV_INT_KEY("IMG_LEVEL", img_level_, "config img_level_ read error"),
    QV_STR_KEY("IMG_TAG", img_tag_, "config img_tag_ read error"),
    QV_INT_KEY("PING_TIMEOUT", ping_timeout_, "config ping_timeout_ read error"),
};

#undef QV_BOOL_KEY
#undef QV_INT_KEY
#undef QV_STR_KEY

const char* ConfigPath() {
  const char* path = getenv("HTTP2QUORVIN_CONF");
  return (path != nullptr && path[0] != '\0') ? path : ProxyConfig::kDefaultPath;
}

}  // namespace

size_t ProxyConfig::KeyCount() {
  return sizeof(kKeys) / sizeof(kKeys[0]);
}

const char* ProxyConfig::KeyName(size_t index) {
  return index < KeyCount() ? kKeys[index].key : nullptr;
}

const char ProxyConfig::kDefaultPath[] = "/system/etc/http2quorvin.conf";
const char ProxyConfig::kSection[] = "http2quorvin";

// Messages of the load follow the level read so far (the default until LOG_LEVEL is read); for
// the process-wide record this is exactly what the logging helper would see.
void ProxyConfig::Warn(const char* fmt, const char* arg) const {
  if (log_level_ > 0)
    __android_log_print(ANDROID_LOG_WARN, kTag, fmt, arg);
}

int ProxyConfig::Load(const char* path, ConfigStore* store) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    Warn("load config file %s error!\n", path);
    return -1;
  }
  std::vector<std::string> pieces;
  char buf[1025];
  for (;;) {
    memset(buf, 0, sizeof(buf));
    if (fgets(buf, sizeof(buf), file) == nullptr)
      break;
    pieces.emplace_back(buf);
  }
  fclose(file);

  for (const std::string& piece : pieces)
    store->ParseLine(piece.c_str());

  for (const KeySpec& spec : kKeys) {
    if (spec.kind == Kind::kString) {
      const char* value = store->get_str_value(kSection, spec.key);
      if (value == nullptr) {
        Warn("%s", spec.error);
        return -1;
      }
      this->*spec.string_field = value;
    } else {
      int value = store->get_num_value(kSection, spec.key);
      if (value == -1) {
        Warn("%s", spec.error);
        return -1;
      }
      // No range is checked, but a value that is not a number is worth a line in the log.
      int exact = 0;
      const char* text = store->find(kSection, spec.key);
      if (text != nullptr && !ConfigStore::ParseNumber(text, &exact) && log_level_ > 0)
        __android_log_print(ANDROID_LOG_WARN, kTag,
                            "config %s value \"%s\" is not a number, read as %d", spec.key, text,
                            value);
      if (spec.kind == Kind::kBool) {
        this->*spec.bool_field = value != 0;
      } else {
        this->*spec.int_field = value;
      }
    }
  }
  return 0;
}

ProxyConfig* GetProxyConfig() {
  static std::atomic<ProxyConfig*> instance{nullptr};
  ProxyConfig* config = instance.load(std::memory_order_acquire);
  if (config != nullptr)
    return config;

  // Recursive: logging during the load calls back in here and must get the partly loaded record.
  static std::recursive_mutex mutex;
  std::lock_guard<std::recursive_mutex> lock(mutex);
  config = instance.load(std::memory_order_acquire);
  if (config != nullptr)
    return config;
  config = new ProxyConfig();
  instance.store(config, std::memory_order_release);
  config->Load(ConfigPath(), ConfigStore::Instance());
  return config;
}
