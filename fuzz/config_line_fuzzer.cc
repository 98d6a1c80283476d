// Feeds arbitrary text to the configuration line parser, one fgets-sized piece per line, and
// checks the stored values against the parser's own rules; then loads the same text as a file
// and checks the record against the stored values: keys read in their fixed order up to the
// first that is missing (or -1), the rest left at their defaults.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "core/config_store.h"
#include "core/proxy_config.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "config line check failed: %s\n", what);
    abort();
  }
}

// The text as a file the loader can open, without touching the disk.
const char* FilePath(const std::string& text) {
  static int fd = -1;
  static char path[64];
  if (fd < 0) {
    fd = memfd_create("config_line_fuzzer", 0);
    Check(fd >= 0, "memfd_create");
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
  }
  Check(ftruncate(fd, 0) == 0, "ftruncate");
  Check(pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()), "pwrite");
  return path;
}

// Reads a key from `store` the way the loader must; false when it counts as missing.
bool Expect(ConfigStore* store, const char* key, bool is_string, std::string* text, int* number) {
  const char* value = store->get_str_value(ProxyConfig::kSection, key);
  if (value == nullptr)
    return false;
  *text = value;
  // atoi's digits, but a value beyond the int range saturates.
  const long long wide = strtoll(value, nullptr, 10);
  *number = static_cast<int>(std::min<long long>(std::max<long long>(wide, INT_MIN), INT_MAX));
  return is_string || *number != -1;
}

void CheckLoad(const std::string& text, ConfigStore* pieces_store) {
  ProxyConfig loaded;
  loaded.log_level_ = 0;  // keeps the load quiet until the file sets a level of its own
  ConfigStore store;
  const int rv = loaded.Load(FilePath(text), &store);
  Check(store.size() == pieces_store->size(), "the loader split the file differently");

  ProxyConfig expected;
  expected.log_level_ = 0;
  std::string s;
  int n = 0;
  bool all = false;
  do {
#define QV_STR(key, field)                \
  if (!Expect(&store, key, true, &s, &n)) \
    break;                                \
  expected.field = s;
#define QV_INT(key, field)                 \
  if (!Expect(&store, key, false, &s, &n)) \
    break;                                 \
  expected.field = n;
#define QV_BOOL(key, field)                \
  if (!Expect(&store, key, false, &s, &n)) \
    break;                                 \
  expected.field = n != 0;
    QV_BOOL("DISABLE_NAGLE", disable_nagle_)
    QV_STR("LISTEN_IP", listen_ip_)
    QV_STR("LISTEN_PORT", listen_port_)
    QV_STR("QUORVIN_GATE_IP", quorvin_gate_ip_)
    QV_STR("QUORVIN_GATE_PORT", quorvin_gate_port_)
    QV_INT("SOCKET_READ_BUF_SIZE", socket_read_buf_size)
    QV_INT("ACCEPT_BACKLOG_SIZE", accept_backlog_size_)
    QV_BOOL("REUSEADDR", reuseaddr_)
    QV_INT("LOG_LEVEL", log_level_)
    QV_INT("MAX_EPOLL_FD_SIZE", max_epoll_fd_size_)
    QV_INT("MAX_STREAM_PER_SESSION", max_stream_per_session_)
    QV_INT("MAX_FRONT_CONN_SIZE", max_front_conn_size_)
    QV_INT("MAX_SESSION_IDLE_TIME", max_session_idle_time_)
    QV_INT("MAX_FRONTEND_TIME", max_frontend_time_)
    QV_INT("SPDY_SEGMENT_SIZE", spdy_segment_size)
    QV_INT("MAX_SESSION_QUEUE_SIZE", max_session_queue_size_)
    QV_INT("KEEP_ALIVE_TIME", keep_alive_time_)
    QV_INT("CLEAR_INTERVAL", clear_interval_)
    QV_INT("IMG_LEVEL", img_level_)
    QV_STR("IMG_TAG", img_tag_)
    QV_INT("PING_TIMEOUT", ping_timeout_)
#undef QV_STR
#undef QV_INT
#undef QV_BOOL
    all = true;
  } while (false);
  Check(rv == (all ? 0 : -1), "load result");
  Check(loaded.listen_ip_ == expected.listen_ip_ && loaded.listen_port_ == expected.listen_port_ &&
            loaded.disable_nagle_ == expected.disable_nagle_ &&
            loaded.socket_read_buf_size == expected.socket_read_buf_size &&
            loaded.accept_backlog_size_ == expected.accept_backlog_size_ &&
            loaded.reuseaddr_ == expected.reuseaddr_ && loaded.log_level_ == expected.log_level_ &&
            loaded.max_epoll_fd_size_ == expected.max_epoll_fd_size_ &&
            loaded.max_stream_per_session_ == expected.max_stream_per_session_ &&
            loaded.max_front_conn_size_ == expected.max_front_conn_size_ &&
            loaded.max_session_idle_time_ == expected.max_session_idle_time_ &&
            loaded.max_frontend_time_ == expected.max_frontend_time_ &&
            loaded.spdy_segment_size == expected.spdy_segment_size &&
            loaded.max_session_queue_size_ == expected.max_session_queue_size_ &&
            loaded.keep_alive_time_ == expected.keep_alive_time_ &&
            loaded.ping_timeout_ == expected.ping_timeout_ &&
            loaded.img_level_ == expected.img_level_ && loaded.img_tag_ == expected.img_tag_ &&
            loaded.clear_interval_ == expected.clear_interval_ &&
            loaded.quorvin_gate_ip_ == expected.quorvin_gate_ip_ &&
            loaded.quorvin_gate_port_ == expected.quorvin_gate_port_,
        "loaded record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ConfigStore store;
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  while (pos < text.size()) {
    // Pieces as fgets would hand them over: up to a line end, at most 1024 bytes.
    size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    if (end - pos > 1024)
      end = pos + 1024;
    std::string piece = text.substr(pos, end - pos);
    pos = end;

    std::string before_section = store.current_section();
    size_t before_size = store.size();
    store.ParseLine(piece.c_str());
    std::string line(piece.c_str());  // the parser sees the text up to a NUL

    size_t eq = line.find('=');
    size_t comment = line.find_first_of("#;");
    size_t opener = line.find_first_of("=[");
    bool is_comment =
        comment != std::string::npos && (opener == std::string::npos || comment < opener);
    bool brackets = line.find('[') != std::string::npos && line.find(']') != std::string::npos;
    if (is_comment || brackets || eq == std::string::npos) {
      Check(store.size() == before_size, "a non-key line stored a value");
    }
    if (!brackets || is_comment) {
      Check(store.current_section() == before_section, "section changed without a header");
    }
    if (!is_comment && !brackets && eq != std::string::npos && store.size() > before_size) {
      // A new key: its value is non-empty and trimmed at the end.
      std::string key = line.substr(0, eq);
      size_t b = key.find_first_not_of(" \t\n\r");
      size_t e = key.find_last_not_of(" \t\n\r");
      Check(b != std::string::npos, "empty key stored");
      key = key.substr(b, e - b + 1);
      fflush(stdout);
      const char* value = store.get_str_value(before_section.c_str(), key.c_str());
      Check(value != nullptr, "stored key not found");
      size_t len = strlen(value);
      Check(len > 0 && !IsBlank(value[0]) && !IsBlank(value[len - 1]), "value not trimmed");
      Check(line.find(value, eq) != std::string::npos, "value is not a part of the line");
    }
  }
  CheckLoad(text, &store);
  return 0;
}
