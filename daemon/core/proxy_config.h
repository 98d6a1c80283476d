#ifndef DAEMON_CORE_PROXY_CONFIG_H
#define DAEMON_CORE_PROXY_CONFIG_H

#include <stddef.h>

#include <string>

class ConfigStore;

// The daemon's tunables, read once from the configuration file.
struct ProxyConfig {
  static const char kDefaultPath[];
  static const char kSection[];

  std::string listen_ip_;
  std::string listen_port_;
  bool disable_nagle_ = false;
  int socket_read_buf_size = 10240;
  int accept_backlog_size_ = 128;
  bool reuseaddr_ = true;
  int log_level_ = 1;
  int max_epoll_fd_size_ = 1024;
  int max_stream_per_session_ = 200;
  int max_front_conn_size_ = 200;
  int max_session_idle_time_ = 300;
  int max_frontend_time_ = 30;
  int spdy_segment_size = 4096;
  int max_session_queue_size_ = 20;
  int keep_alive_time_ = 30;
  int ping_timeout_ = 30;
  int img_level_ = 0;
  std::string img_tag_;
  int clear_interval_ = 30;
  std::string quorvin_gate_ip_;
  std::string quorvin_gate_port_;

  // Reads `path` into `store`, then the keys in their fixed order into this record. Stops at
  // the first key that cannot be read. Returns 0 when every key was read, -1 otherwise.
  int Load(const char* path, ConfigStore* store);

  // The keys in the order Load reads them.
  static size_t KeyCount();
  static const char* KeyName(size_t index);

 private:
  void Warn(const char* fmt, const char* arg) const __attribute__((__format__(printf, 2, 0)));
};

// The process-wide record. The first call creates it with the defaults, publishes it (so that
// logging during the load sees the partly loaded record) and loads the file named by
// HTTP2QUORVIN_CONF, or the system path.
ProxyConfig* GetProxyConfig();

#endif  // DAEMON_CORE_PROXY_CONFIG_H
