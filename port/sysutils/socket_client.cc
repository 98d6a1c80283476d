#include <sysutils/SocketClient.h>

#include <android/log.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

const char kTag[] = "SocketListener";

}  // namespace

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

void SocketWake::Signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ < 0)
    return;
  const char c = 1;
  // A full pipe already holds a wake-up.
  while (write(fd_, &c, 1) < 0 && errno == EINTR) {
  }
}

void SocketWake::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = -1;
}

void SocketClient::breakLocked() {
  broken_.store(true);
  queued_.clear();
  shutdown(socket_, SHUT_RDWR);
}

int SocketClient::sendLocked(const char* data, size_t len) {
  if (broken_.load())
    return -1;
  if (!queued_.empty()) {
    // Behind what waits already: in order, after it. A client that lets more than the bound
    // pile up has stopped reading.
    if (queued_.size() > kMaxQueuedBytes) {
      __android_log_print(ANDROID_LOG_WARN, kTag,
                          "client (pid %d) fell behind by more than %zu bytes; dropped",
                          static_cast<int>(pid_), kMaxQueuedBytes);
      breakLocked();
      return -1;
    }
    queued_.append(data, len);
    return 0;
  }
  while (len > 0) {
    // MSG_NOSIGNAL: a client that has gone away is an error here, never a SIGPIPE.
    ssize_t n = send(socket_, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // The rest of one message is always taken: the bound is on what piles up behind it.
        queued_.assign(data, len);
        if (wake_ != nullptr)
          wake_->Signal();
        return 0;
      }
      // A client that vanished.
      breakLocked();
      return -1;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

bool SocketClient::hasQueuedOutput() {
  std::lock_guard<std::mutex> lock(write_lock_);
  return !queued_.empty();
}

void SocketClient::flushQueued() {
  std::lock_guard<std::mutex> lock(write_lock_);
  while (!queued_.empty() && !broken_.load()) {
    ssize_t n = send(socket_, queued_.data(), queued_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK)
        breakLocked();
      return;
    }
    queued_.erase(0, static_cast<size_t>(n));
  }
}
