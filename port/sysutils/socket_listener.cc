#include <sysutils/SocketListener.h>

#include <android/log.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

const char kTag[] = "SocketListener";

std::string ErrnoText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof(buf));
}

// The descriptor init passed in ANDROID_SOCKET_<name>, or -1.
int InheritedSocket(const std::string& name) {
  std::string var = "ANDROID_SOCKET_" + name;
  const char* value = getenv(var.c_str());
  if (value == nullptr || *value == '\0')
    return -1;
  char* end = nullptr;
  errno = 0;
  long fd = strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || fd < 0 || fd > 65535) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "%s is not a descriptor: %s", var.c_str(), value);
    return -1;
  }
  if (fcntl(static_cast<int>(fd), F_GETFD) < 0) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "%s=%ld is not open", var.c_str(), fd);
    return -1;
  }
  return static_cast<int>(fd);
}

// True when a listener already answers at `path`.
bool SomeoneListens(const sockaddr_un& addr) {
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0)
    return false;
  bool alive = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  close(probe);
  return alive;
}

}  // namespace

SocketListener::SocketListener(const char* socketName, bool listen)
    : name_(socketName != nullptr ? socketName : ""), listen_(listen) {}

SocketListener::SocketListener(int socketFd, bool listen)
    : listen_(listen), sock_(socketFd), sock_from_caller_(true) {}

SocketListener::~SocketListener() {
  if (running_)
    stopListener();
  CloseSocket();
}

int SocketListener::startListener() {
  return startListener(16);
}

int SocketListener::startListener(int backlog) {
  if (running_) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "startListener: already running");
    return -1;
  }
  if (OpenSocket(backlog) < 0)
    return -1;
  if (listen_ && !sock_bound_here_ && listen(sock_, backlog) < 0) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "Unable to listen on socket (%s)",
                        ErrnoText(errno).c_str());
    CloseSocket();
    return -1;
  }
  if (pipe2(ctrl_pipe_, O_CLOEXEC | O_NONBLOCK) < 0) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "pipe failed (%s)", ErrnoText(errno).c_str());
    CloseSocket();
    return -1;
  }
  wake_ = std::make_shared<SocketWake>(ctrl_pipe_[1]);
  if (!listen_) {
    // The socket is the one peer; the listener does not own it as a client.
    std::lock_guard<std::mutex> lock(clients_lock_);
    clients_.push_back(std::make_shared<SocketClient>(sock_, false));
    clients_.back()->setWake(wake_);
  }
  stopping_.store(false);
  running_ = true;
  if (pthread_create(&thread_, nullptr, &SocketListener::ThreadEntry, this) != 0) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "pthread_create failed");
    running_ = false;
    wake_->Close();
    close(ctrl_pipe_[0]);
    close(ctrl_pipe_[1]);
    ctrl_pipe_[0] = ctrl_pipe_[1] = -1;
    CloseSocket();
    return -1;
  }
  return 0;
}

int SocketListener::stopListener() {
  if (!running_)
    return -1;
  if (pthread_equal(pthread_self(), thread_)) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "stopListener called from the listener thread");
    return -1;
  }
  stopping_.store(true);
  char c = 0;
  // A full pipe wakes the thread as well.
  while (write(ctrl_pipe_[1], &c, 1) < 0 && errno == EINTR) {
  }
  pthread_join(thread_, nullptr);
  running_ = false;
  // Clients a broadcaster still holds signal nothing any more.
  wake_->Close();
  close(ctrl_pipe_[0]);
  close(ctrl_pipe_[1]);
  ctrl_pipe_[0] = ctrl_pipe_[1] = -1;
  {
    std::lock_guard<std::mutex> lock(clients_lock_);
    // A broadcaster still holding a client keeps it (and its descriptor) until it is done.
    for (auto& c : clients_)
      if (c->getSocket() != sock_)
        shutdown(c->getSocket(), SHUT_RDWR);
    clients_.clear();
  }
  CloseSocket();
  return 0;
}

void SocketListener::sendBroadcast(int code, const char* msg, bool addErrno) {
  const int saved_errno = errno;
  std::vector<std::shared_ptr<SocketClient>> snapshot;
  {
    std::lock_guard<std::mutex> lock(clients_lock_);
    snapshot = clients_;
  }
  // Writes happen outside the list lock so that a slow client never holds up accepting.
  for (auto& c : snapshot) {
    errno = saved_errno;
    c->sendMsg(code, msg, addErrno);
  }
}

int SocketListener::OpenSocket(int backlog) {
  if (sock_from_caller_)
    return sock_ >= 0 ? 0 : -1;
  if (sock_ >= 0)
    return 0;
  int inherited = InheritedSocket(name_);
  if (inherited >= 0) {
    sock_ = inherited;
    fcntl(sock_, F_SETFD, FD_CLOEXEC);
    return 0;
  }

  const char* env = getenv("HTTP2QUORVIN_SOCKET");
  std::string path = (env != nullptr && *env != '\0') ? env : "/dev/socket/" + name_;
  sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "socket path too long: %s", path.c_str());
    return -1;
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      __android_log_print(ANDROID_LOG_ERROR, kTag, "%s exists and is not a socket", path.c_str());
      return -1;
    }
    if (SomeoneListens(addr)) {
      __android_log_print(ANDROID_LOG_ERROR, kTag, "socket %s is in use", path.c_str());
      return -1;
    }
    unlink(path.c_str());  // left behind by an earlier run
  }

  // The path appears only once the socket listens, so that a client that finds it can
  // connect: bound under a name of its own beside it, made to listen, then linked to the path
  // (which fails, like a bind, when the path is taken meanwhile).
  const std::string bound = path + ".new" + std::to_string(getpid());
  if (bound.size() >= sizeof(addr.sun_path)) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "socket path too long: %s", bound.c_str());
    return -1;
  }
  memcpy(addr.sun_path, bound.c_str(), bound.size() + 1);
  unlink(bound.c_str());  // left behind by an earlier run of the same pid

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "socket failed (%s)", ErrnoText(errno).c_str());
    return -1;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "bind %s failed (%s)", path.c_str(),
                        ErrnoText(errno).c_str());
    close(fd);
    return -1;
  }
  const char* failed = nullptr;
  if (chmod(bound.c_str(), 0660) < 0)
    failed = "chmod";
  else if (listen_ && listen(fd, backlog) < 0)
    failed = "listen";
  else if (link(bound.c_str(), path.c_str()) < 0)
    failed = "bind";
  if (failed != nullptr) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "%s %s failed (%s)", failed, path.c_str(),
                        ErrnoText(errno).c_str());
    close(fd);
    unlink(bound.c_str());
    return -1;
  }
  unlink(bound.c_str());
  sock_ = fd;
  sock_bound_here_ = true;
  path_ = path;
  return 0;
}

void SocketListener::CloseSocket() {
  if (!sock_bound_here_)
    return;
  close(sock_);
  unlink(path_.c_str());
  sock_ = -1;
  sock_bound_here_ = false;
}

void* SocketListener::ThreadEntry(void* arg) {
  static_cast<SocketListener*>(arg)->RunListener();
  return nullptr;
}

void SocketListener::RemoveClient(SocketClient* client) {
  std::lock_guard<std::mutex> lock(clients_lock_);
  auto it =
      std::find_if(clients_.begin(), clients_.end(),
                   [client](const std::shared_ptr<SocketClient>& c) { return c.get() == client; });
  if (it != clients_.end())
    clients_.erase(it);
}

void SocketListener::RunListener() {
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<SocketClient>> polled;
  while (true) {
    fds.clear();
    polled.clear();
    fds.push_back({ctrl_pipe_[0], POLLIN, 0});
    if (listen_)
      fds.push_back({sock_, POLLIN, 0});
    {
      std::lock_guard<std::mutex> lock(clients_lock_);
      polled = clients_;
    }
    for (auto& c : polled) {
      const short events = c->hasQueuedOutput() ? POLLIN | POLLOUT : POLLIN;
      fds.push_back({c->getSocket(), events, 0});
    }

    int n = poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      __android_log_print(ANDROID_LOG_ERROR, kTag, "poll failed (%s)", ErrnoText(errno).c_str());
      sleep(1);
      continue;
    }
    if (fds[0].revents != 0) {
      char drain[64];
      while (read(ctrl_pipe_[0], drain, sizeof(drain)) > 0) {
      }
      if (stopping_.load())
        return;
    }

    size_t first_client = 1;
    if (listen_) {
      first_client = 2;
      if (fds[1].revents & POLLIN) {
        int c = accept4(sock_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
          if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
            __android_log_print(ANDROID_LOG_ERROR, kTag, "accept failed (%s)",
                                ErrnoText(errno).c_str());
            usleep(100000);  // out of descriptors: do not spin
          }
        } else {
          std::lock_guard<std::mutex> lock(clients_lock_);
          if (clients_.size() >= kMaxClients) {
            __android_log_print(ANDROID_LOG_WARN, kTag, "%zu clients already; one more is closed",
                                kMaxClients);
            close(c);
          } else {
            clients_.push_back(std::make_shared<SocketClient>(c, true));
            clients_.back()->setWake(wake_);
          }
        }
      }
    }
    for (size_t i = first_client; i < fds.size(); ++i) {
      if (fds[i].revents == 0)
        continue;
      SocketClient* c = polled[i - first_client].get();
      if (fds[i].revents & POLLOUT)
        c->flushQueued();
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      if (!onDataAvailable(c)) {
        RemoveClient(c);
        if (!listen_)
          return;  // the one peer is gone
      }
    }
  }
}
