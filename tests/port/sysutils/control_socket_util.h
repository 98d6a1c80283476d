// Test helpers for the control socket: a scratch folder and a client of the NUL-terminated
// message format.
#ifndef TESTS_PORT_SYSUTILS_CONTROL_SOCKET_UTIL_H
#define TESTS_PORT_SYSUTILS_CONTROL_SOCKET_UTIL_H

#include <errno.h>
#include <ftw.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

namespace qvtest {

// A mkdtemp folder, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() : path_("/tmp/qvXXXXXX") {
    if (mkdtemp(&path_[0]) == nullptr)
      path_.clear();
  }
  ~ScratchDir() {
    nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p); }, 8,
        FTW_DEPTH | FTW_PHYS);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  return addr;
}

// One client connection to a control socket.
class ControlClient {
 public:
  explicit ControlClient(const std::string& path) : fd_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un addr = UnixAddress(path);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
      Close();
  }
  ~ControlClient() { Close(); }
  bool ok() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }

  // Writes `bytes`, and a NUL after them unless `raw`.
  bool Send(const std::string& bytes, bool raw = false) {
    std::string data = raw ? bytes : bytes + std::string(1, '\0');
    for (size_t off = 0; off < data.size();) {
      ssize_t n = send(fd_, data.data() + off, data.size() - off, MSG_NOSIGNAL);
      if (n <= 0 && errno != EINTR)
        return false;
      off += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return true;
  }

  // The next message without its NUL; "<closed>" when the peer closed, "<timeout>" when
  // nothing came within the safety limit (a broken case fails instead of hanging).
  std::string Recv() {
    size_t nul;
    while ((nul = buffer_.find('\0')) == std::string::npos) {
      pollfd pfd = {fd_, POLLIN, 0};
      if (poll(&pfd, 1, 10000) == 0)
        return "<timeout>";
      char buf[65536];
      ssize_t got = read(fd_, buf, sizeof(buf));
      if (got == 0 || (got < 0 && errno != EINTR))
        return "<closed>";
      buffer_.append(buf, got > 0 ? static_cast<size_t>(got) : 0);
    }
    std::string msg = buffer_.substr(0, nul);
    buffer_.erase(0, nul + 1);
    return msg;
  }

  std::string Ask(const std::string& command) { return Send(command) ? Recv() : "<send failed>"; }

 private:
  int fd_;
  std::string buffer_;
};

}  // namespace qvtest

#endif  // TESTS_PORT_SYSUTILS_CONTROL_SOCKET_UTIL_H
