#include "daemon/control/config_server_helper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

CannedHttpServer::CannedHttpServer() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      listen(listen_fd_, 16) == 0 &&
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port_ = ntohs(addr.sin_port);
  }
  if (pipe2(wake_, O_CLOEXEC) != 0)
    wake_[0] = wake_[1] = -1;
  thread_ = std::thread(&CannedHttpServer::Serve, this);
}

CannedHttpServer::~CannedHttpServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (write(wake_[1], "x", 1) != 1) {
    // The server thread also wakes at its next poll timeout.
  }
  thread_.join();
  close(listen_fd_);
  close(wake_[0]);
  close(wake_[1]);
}

void CannedHttpServer::Set(const std::string& path, const Reply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  replies_[path] = reply;
}

void CannedHttpServer::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

bool CannedHttpServer::WaitForRequests(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(10),
                           [&] { return requests_.size() >= count; });
}

std::vector<std::string> CannedHttpServer::requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void CannedHttpServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0 || (fds[1].revents & POLLIN) != 0)
      return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_)
        return;
    }
    if ((fds[0].revents & POLLIN) == 0)
      continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
      continue;
    Answer(fd);
    close(fd);
  }
}

void CannedHttpServer::Answer(int fd) {
  std::string head;
  char c;
  while (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, 10000) <= 0 || (fds[1].revents & POLLIN) != 0 || read(fd, &c, 1) != 1)
      return;
    head.push_back(c);
  }
  const size_t start = head.find(' ') + 1;
  const std::string path = head.substr(start, head.find(' ', start) - start);
  Reply reply;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(head);
    changed_.notify_all();
    auto it = replies_.find(path);
    if (it != replies_.end())
      reply = it->second;
    else
      reply.raw = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  }
  size_t done = 0;
  while (done < reply.raw.size()) {
    ssize_t n = send(fd, reply.raw.data() + done, reply.raw.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      return;
    done += static_cast<size_t>(n);
  }
  if (reply.hold) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return released_ || stopping_; });
  }
}

PythonHttpServer::PythonHttpServer(const std::string& root) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string dir = root;
  const char* argv[] = {"python3", "-u",        "-m",          "http.server", "0",
                        "--bind",  "127.0.0.1", "--directory", dir.c_str(),   nullptr};
  if (posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  // "Serving HTTP on 127.0.0.1 port N (http://127.0.0.1:N/) ..."
  std::string line;
  char c;
  while (pid_ > 0 && line.find('\n') == std::string::npos) {
    pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0 || read(out[0], &c, 1) != 1)
      break;
    line.push_back(c);
  }
  close(out[0]);
  if (sscanf(line.c_str(), "Serving HTTP on %*s port %d", &port_) != 1)
    port_ = 0;
}

PythonHttpServer::~PythonHttpServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}
