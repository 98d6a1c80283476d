// Test helpers for the control socket: a scratch folder and a client that speaks the
// NUL-terminated message format.
#ifndef TESTS_PORT_SYSUTILS_CONTROL_SOCKET_UTIL_H
#define TESTS_PORT_SYSUTILS_CONTROL_SOCKET_UTIL_H

#include <errno.h>
#include <ftw.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

namespace qvtest {

// A mkdtemp folder, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qvXXXXXX";
    path_ = mkdtemp(&pattern[0]) != nullptr ? pattern : "";
  }
  ~ScratchDir() {
    if (!path_.empty())
      nftw(path_.c_str(), &Remove, 16, FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  static int Remove(const char* p, const struct stat*, int, struct FTW*) { return remove(p); }
  std::string path_;
};

inline int ConnectUnix(const std::string& path) {
  sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    fd = -1;
  }
  return fd;
}

// One client connection to a control socket.
class ControlClient {
 public:
  explicit ControlClient(const std::string& path) : fd_(ConnectUnix(path)) {}
  ~ControlClient() { Close(); }
  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

  // Writes the bytes as they are (add the NUL yourself for SendRaw).
  bool SendRaw(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  bool Send(const std::string& command) { return SendRaw(command + std::string(1, '\0')); }

  // The next NUL-terminated message; "<closed>" when the peer closed, "<timeout>" when nothing
  // came within the safety limit (a hung test fails instead of hanging).
  std::string Recv(int limit_ms = 10000) {
    while (true) {
      size_t nul = buffer_.find('\0');
      if (nul != std::string::npos) {
        std::string msg = buffer_.substr(0, nul);
        buffer_.erase(0, nul + 1);
        return msg;
      }
      pollfd pfd = {fd_, POLLIN, 0};
      int n = poll(&pfd, 1, limit_ms);
      if (n == 0)
        return "<timeout>";
      if (n < 0 && errno == EINTR)
        continue;
      char buf[65536];
      ssize_t got = read(fd_, buf, sizeof(buf));
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        return "<closed>";
      buffer_.append(buf, static_cast<size_t>(got));
    }
  }

  // Sends a command and returns its reply.
  std::string Ask(const std::string& command) {
    if (!Send(command))
      return "<send failed>";
    return Recv();
  }

 private:
  int fd_;
  std::string buffer_;
};

}  // namespace qvtest

#endif  // TESTS_PORT_SYSUTILS_CONTROL_SOCKET_UTIL_H
