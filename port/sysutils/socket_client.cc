#include <sysutils/SocketClient.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

SocketClient::SocketClient(int socket, bool owned) : socket_(socket), owned_(owned) {
  struct ucred cred;
  socklen_t len = sizeof(cred);
  if (getsockopt(socket_, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof(cred)) {
    pid_ = cred.pid;
    uid_ = cred.uid;
    gid_ = cred.gid;
  }
}

SocketClient::~SocketClient() {
  if (owned_ && socket_ >= 0)
    close(socket_);
}

int SocketClient::sendMsg(int code, const char* msg, bool addErrno) {
  const int saved_errno = errno;
  std::string text = std::to_string(code);
  text += ' ';
  if (msg != nullptr)
    text += msg;
  if (addErrno) {
    char buf[256];
    text += ": ";
    text += strerror_r(saved_errno, buf, sizeof(buf));
  }
  text += '\0';
  std::lock_guard<std::mutex> lock(write_lock_);
  return sendLocked(text.data(), text.size());
}

int SocketClient::sendMsg(const char* msg) {
  if (msg == nullptr)
    msg = "";
  std::lock_guard<std::mutex> lock(write_lock_);
  return sendLocked(msg, strlen(msg) + 1);
}

int SocketClient::sendData(const void* data, int len) {
  if (len < 0)
    return -1;
  std::lock_guard<std::mutex> lock(write_lock_);
  return sendLocked(static_cast<const char*>(data), static_cast<size_t>(len));
}

int SocketClient::sendLocked(const char* data, size_t len) {
  if (broken_.load())
    return -1;
  while (len > 0) {
    // MSG_NOSIGNAL: a client that has gone away is an error here, never a SIGPIPE.
    ssize_t n = send(socket_, data, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      // A client that stopped reading (send timeout) or vanished: give up on it for good so
      // that a half-written message is never followed by another one.
      broken_.store(true);
      shutdown(socket_, SHUT_RDWR);
      return -1;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}
