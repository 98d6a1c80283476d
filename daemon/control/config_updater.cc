#include "control/config_updater.h"

#include <stdlib.h>

#include "control/http_fetch.h"
#include "control/update_config_thread.h"
#include "core/logging.h"
#include "core/proxy_config.h"

namespace {

const char kTag[] = "update_config_thread";

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

}  // namespace

ConfigUpdater::ConfigUpdater(const std::string& config_path, UpdateConfigListener* listener)
    : config_path_(config_path), listener_(listener) {}

ConfigUpdater::~ConfigUpdater() {
  Wait();
}

bool ConfigUpdater::ValidServer(const std::string& server) {
  const size_t colon = server.find(':');
  const std::string host = server.substr(0, colon);
  if (host.empty() || host.size() > 253 || host[0] == '-')
    return false;
  for (char c : host) {
    if (!IsHostChar(c))
      return false;
  }
  if (colon == std::string::npos)
    return true;
  const std::string port = server.substr(colon + 1);
  if (port.empty() || port.size() > 5)
    return false;
  for (char c : port) {
    if (c < '0' || c > '9')
      return false;
  }
  const int value = atoi(port.c_str());
  return value >= 1 && value <= 65535;
}

std::string ConfigUpdater::DefaultConfigPath() {
  const char* path = getenv("HTTP2QUORVIN_CONF");
  return (path != nullptr && path[0] != '\0') ? path : ProxyConfig::kDefaultPath;
}

ConfigUpdater::BeginResult ConfigUpdater::Begin(const std::string& server_word,
                                                const std::function<void()>& started) {
  std::string server = server_word;
  if (server.empty()) {
    const char* env = getenv("HTTP2QUORVIN_CONFIG_SERVER");
    server = env != nullptr ? env : "";
  }
  if (server.empty()) {
    QV_LOGW(kTag,
            "updateconfig: no configuration server given and HTTP2QUORVIN_CONFIG_SERVER "
            "is not set");
    return kNoServer;
  }
  if (!ValidServer(server)) {
    QV_LOGW(kTag, "updateconfig: bad configuration server \"%s\" (host or host:port)",
            server.c_str());
    return kBadServer;
  }

  std::unique_ptr<UpdateConfigThread> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_) {
      QV_LOGW(kTag, "updateconfig: a download is already running");
      return kBusy;
    }
    busy_ = true;
    finished = std::move(thread_);
  }
  // The previous thread is past its busy section; at most its listener call is left.
  if (finished != nullptr)
    finished->Join();
  finished.reset();

  std::unique_ptr<UpdateConfigThread> thread(new UpdateConfigThread(server, config_path_, this));
  std::lock_guard<std::mutex> lock(mutex_);
  if (!thread->Start()) {
    busy_ = false;
    idle_.notify_all();
    QV_LOGW(kTag, "updateconfig: can't start UpdateConfigThread");
    return kThreadFailed;
  }
  thread_ = std::move(thread);
  // The outcome waits for this lock (OnUpdateConfigDone), so it cannot overtake `started`.
  if (started)
    started();
  return kStarted;
}

bool ConfigUpdater::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

void ConfigUpdater::Wait() {
  std::unique_ptr<UpdateConfigThread> thread;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return !busy_; });
    thread = std::move(thread_);
  }
  if (thread != nullptr)
    thread->Join();
}

void ConfigUpdater::Cancel() {
  if (busy())
    QV_LOGW(kTag, "updateconfig: cancelling the running download");
  http_cancel(true);
  Wait();
  http_cancel(false);
}

void ConfigUpdater::OnUpdateConfigDone(const UpdateConfigOutcome& outcome) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = false;
    idle_.notify_all();
  }
  if (listener_ != nullptr)
    listener_->OnUpdateConfigDone(outcome);
}
