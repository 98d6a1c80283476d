#include "app/app_interface.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/link_counters.h"
#include "core/logging.h"
#include "front/accept_callback.h"
#include "front/http_thread.h"
#include "gateway/quorvin_interface.h"
#include "gateway/quorvin_thread.h"
#include "net/create_listener.h"

namespace {
const char kTag[] = "app_interface";
const int kBacklog = 128;
}  // namespace

AppInterface::AppInterface() : image_level_(GetProxyConfig()->img_level_) {}

AppInterface::~AppInterface() {
  if (started_.load())
    Stop();
  if (parked_fd_ != -1)
    close(parked_fd_);
}

void AppInterface::Park(int fd) {
  const ProxyConfig* config = GetProxyConfig();
  const int off = 0;
  if (config->listen_port_.empty() || config->listen_port_ == "0" || shutdown(fd, SHUT_RD) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off)) != 0) {
    close(fd);
    return;
  }
  parked_fd_ = fd;
}

int AppInterface::Unpark() {
  const int fd = parked_fd_;
  if (fd == -1)
    return -1;
  parked_fd_ = -1;
  const int reuse = GetProxyConfig()->reuseaddr_ ? 1 : 0;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse)) != 0 ||
      listen(fd, kBacklog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool AppInterface::started() const {
  return started_.load(std::memory_order_acquire);
}

int AppInterface::Start(CommandNotifier* notifier) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_.load())
    return 6;
  const ProxyConfig* config = GetProxyConfig();
  int fd = Unpark();
  if (fd == -1 && create_listener(config->listen_ip_, config->listen_port_, true, kBacklog,
                                  config->reuseaddr_, false, false, true, &fd) < 0) {
    QV_LOGW(kTag, "createlistensocket failed");
    return 5;
  }
  listen_fd_ = fd;
  LinkCounters::Get().SetListening(listen_fd_);
  SetNonBlocking(listen_fd_);
  accept_callback_ = new AcceptCallback(listen_fd_);
  http_thread_ = new HttpThread(accept_callback_);
  http_thread_->epoll_server()->RegisterFD(listen_fd_, accept_callback_, EPOLLIN | EPOLLET);

  // Everything the loop reaches is in place before the loop starts, so a client accepted at
  // once finds the gateway objects; the thread's creation publishes them to it.
  quorvin_interface_ = new QuorvinInterface(http_thread_);
  quorvin_interface_->SetQuality2(image_level_.load());
  quorvin_thread_ = new QuorvinThread(quorvin_interface_);
  quorvin_thread_->set_http_thread(http_thread_);
  quorvin_thread_->set_notifier(notifier);
  http_thread_->set_notifier(notifier);
  http_thread_->set_gateway_thread(quorvin_thread_);
  http_thread_->set_gateway_interface(quorvin_interface_);

  if (!http_thread_->Start()) {
    QV_LOGW(kTag, "HttpThread start failed");
    TearDown();
    return 5;
  }
  started_.store(true, std::memory_order_release);
  return 0;
}

int AppInterface::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!started_.load()) {
    QV_LOGW(kTag, "ALREADYSTOPED");
    return 7;
  }
  http_thread_->RequestStop();
  http_thread_->Join();
  started_.store(false, std::memory_order_release);
  TearDown();
  return 0;
}

void AppInterface::TearDown() {
  // The gateway connection reports its end to the HttpThread, so it goes first; the
  // connections the HttpThread still holds use the gateway interface until they are gone.
  delete quorvin_thread_;
  quorvin_thread_ = nullptr;
  delete http_thread_;
  http_thread_ = nullptr;
  delete quorvin_interface_;
  quorvin_interface_ = nullptr;
  delete accept_callback_;
  accept_callback_ = nullptr;
  LinkCounters::Get().SetListening(-1);
  if (listen_fd_ != -1) {
    Park(listen_fd_);
    listen_fd_ = -1;
  }
}

void AppInterface::SetDeviceID(const char* id) {
  if (id == nullptr)
    return;
  QV_LOGW(kTag, "SetDeviceID %s", id);
  std::lock_guard<std::mutex> lock(mutex_);
  device_id_ = id;
  if (started_.load() && quorvin_interface_ != nullptr)
    quorvin_interface_->SetDeviceId(device_id_);
}

void AppInterface::SetImageLevel(int level) {
  std::lock_guard<std::mutex> lock(mutex_);
  image_level_.store(level);
  if (started_.load() && quorvin_interface_ != nullptr)
    quorvin_interface_->SetQuality2(level);
}
