#include "daemon/control/config_server_helper.h"

#include <fstream>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

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
  thread_ = std::thread(&CannedHttpServer::Serve, this);
}

CannedHttpServer::~CannedHttpServer() {
  Release();
  shutdown(listen_fd_, SHUT_RDWR);  // wakes the blocked accept
  thread_.join();
  close(listen_fd_);
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
  for (int fd; (fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(fd)) {
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && read(fd, &c, 1) == 1)
      head.push_back(c);
    const size_t start = head.find(' ') + 1;
    const std::string path = head.substr(start, head.find(' ', start) - start);
    Reply reply = {"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n", false};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(head);
      changed_.notify_all();
      if (replies_.count(path) != 0)
        reply = replies_[path];
    }
    for (size_t done = 0; done < reply.raw.size();) {
      ssize_t n = send(fd, reply.raw.data() + done, reply.raw.size() - done, MSG_NOSIGNAL);
      if (n <= 0)
        break;
      done += static_cast<size_t>(n);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return released_ || !reply.hold; });
  }
}

std::string CompleteConfig(const std::string& text) {
  static const char* const kShipped[][2] = {
      {"DISABLE_NAGLE", "1"},
      {"LISTEN_IP", "127.0.0.1"},
      {"LISTEN_PORT", "8123"},
      {"QUORVIN_GATE_IP", "127.0.0.1"},
      {"QUORVIN_GATE_PORT", "8443"},
      {"SOCKET_READ_BUF_SIZE", "10240"},
      {"ACCEPT_BACKLOG_SIZE", "128"},
      {"REUSEADDR", "1"},
      {"LOG_LEVEL", "1"},
      {"MAX_EPOLL_FD_SIZE", "1024"},
      {"MAX_STREAM_PER_SESSION", "200"},
      {"MAX_FRONT_CONN_SIZE", "200"},
      {"MAX_SESSION_IDLE_TIME", "300"},
      {"MAX_FRONTEND_TIME", "30"},
      {"SPDY_SEGMENT_SIZE", "4096"},
      {"MAX_SESSION_QUEUE_SIZE", "20"},
      {"KEEP_ALIVE_TIME", "30"},
      {"CLEAR_INTERVAL", "30"},
      {"IMG_LEVEL", "0"},
      {"IMG_TAG", "x-img-level"},
      {"PING_TIMEOUT", "30"},
  };
  std::string out = text;
  for (const auto& kv : kShipped) {
    if (text.find(std::string("\n") + kv[0] + "=") == std::string::npos)
      out += std::string(kv[0]) + "=" + kv[1] + "\n";
  }
  return out;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
