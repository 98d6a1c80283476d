#include "control/update_config_thread.h"

#include <stdlib.h>

#include "control/config_file_replacer.h"
#include "control/http_fetch.h"
#include "core/logging.h"

namespace {

const char kTag[] = "update_config_thread";

}  // namespace

const char UpdateConfigThread::kConfigUrlPath[] = "/tc/pelmar02/http2quorvin.conf";

UpdateConfigThread::UpdateConfigThread(const std::string& server, const std::string& config_path,
                                       UpdateConfigListener* listener)
    : Thread("UpdateConfigThread"),
      server_(server),
      config_path_(config_path),
      listener_(listener) {}

std::string UpdateConfigThread::ConfigUrl(const std::string& server) {
  std::string url = "http://" + server;
  if (server.find(':') == std::string::npos)
    url += ":" + std::to_string(kDefaultPort);
  return url + kConfigUrlPath;
}

void UpdateConfigThread::Run() {
  outcome_.url = ConfigUrl(server_);
  outcome_.path = config_path_;
  char* body = nullptr;
  const int size = http_fetch(outcome_.url.c_str(), &body);
  if (size < 0) {
    outcome_.result = UpdateConfigOutcome::kFetchFailed;
    outcome_.detail = http_strerror("http_fetch");
    http_perror("http_fetch");
    QV_LOGW(kTag, "http_perror");
  } else {
    QV_LOGD(kTag, "Page successfully downloaded. (%s) \n%s\n", outcome_.url.c_str(), body);
    ConfigFileReplacer replacer(config_path_);
    outcome_.result = replacer.Replace(body, static_cast<size_t>(size), &outcome_.detail);
    free(body);
  }
  if (listener_ != nullptr)
    listener_->OnUpdateConfigDone(outcome_);
}
