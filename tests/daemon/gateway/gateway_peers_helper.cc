#include "daemon/gateway/gateway_peers_helper.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "stream/http_header_list.h"

extern char** environ;

namespace {

double NowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

NodePeer::NodePeer(const std::string& script, const std::vector<std::string>& args,
                   const std::string& stderr_path) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    return;
  std::vector<std::string> words = {QV_NODE, script};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words)
    argv.push_back(&w[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  // posix_spawn, not fork: glibc's fork in a dynamically linked ARM binary crashes under qemu.
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  // Node, openssl and (under qemu) a slow host: allow a generous start.
  const double end = NowSeconds() + 30;
  std::string got;
  while (pid_ > 0 && got.find('\n') == std::string::npos && NowSeconds() < end) {
    struct pollfd p = {out[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0)
      continue;
    char buf[256];
    const ssize_t n = read(out[0], buf, sizeof(buf));
    if (n <= 0)
      break;
    got.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  const size_t nl = got.find('\n');
  if (nl != std::string::npos)
    line_ = got.substr(0, nl);
}

NodePeer::~NodePeer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

long long JsonNumber(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = line.find(key);
  if (at == std::string::npos)
    return -1;
  return strtoll(line.c_str() + at + key.size(), nullptr, 10);
}

std::string JsonString(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  const size_t at = line.find(key);
  if (at == std::string::npos)
    return std::string();
  const size_t start = at + key.size();
  size_t end = start;
  while (end < line.size() && line[end] != '"')
    end += line[end] == '\\' ? 2 : 1;
  return line.substr(start, end - start);
}

void RecordingDispatch::ProcessBackInput(uint32_t stream_id, const char* data, size_t len) {
  replies[stream_id].append(data, len);
}

void RecordingDispatch::QuorvinStreamDone(uint32_t stream_id) {
  done.insert(stream_id);
  events.push_back("done " + std::to_string(stream_id));
}

void RecordingDispatch::QuorvinOnRstStream(uint32_t stream_id) {
  events.push_back("rst " + std::to_string(stream_id));
}

void RecordingDispatch::OnStatistic(uint32_t stream_id, const char* source_len,
                                    const char* compressed_len) {
  events.push_back("stat " + std::to_string(stream_id) + " " + source_len + " " + compressed_len);
}

void RecordingDispatch::WakeFrontRead(uint32_t stream_id) {
  ++wakes[stream_id];
}

void RecordingDispatch::QuorvinConnectionStart() {
  ++starts;
  events.push_back("start");
}

void RecordingDispatch::QuorvinConnectionDone(int status) {
  end_codes.push_back(status);
  events.push_back("end " + std::to_string(status));
}

void RecordingNotifier::OnInformation(int type, const std::string& text) {
  information.push_back(std::to_string(type) + " " + text);
}

GatewayHarness::GatewayHarness() : loop(1024), saved_config_(*GetProxyConfig()) {
  // The real HttpThread ignores SIGPIPE; a write to a reset gateway socket must not end the test.
  signal(SIGPIPE, SIG_IGN);
  char dir[] = "/tmp/qv_gateway_XXXXXX";
  dir_ = mkdtemp(dir) != nullptr ? dir : "";
  log_path_ = dir_ + "/events.jsonl";
  GetProxyConfig()->quorvin_gate_ip_ = "127.0.0.1";
  session.reset(new QuorvinInterface(&dispatch));
  thread.reset(new QuorvinThread(session.get()));
  thread->set_http_thread(&dispatch);
  thread->set_notifier(&notifier);
}

GatewayHarness::~GatewayHarness() {
  thread.reset();
  session.reset();
  gateway_.reset();
  origin_.reset();
  *GetProxyConfig() = saved_config_;
  for (const char* name : {"/events.jsonl", "/gateway.err", "/origin.err"})
    unlink((dir_ + name).c_str());
  rmdir(dir_.c_str());
}

bool GatewayHarness::StartGateway(const std::vector<std::string>& flags) {
  if (!origin_) {
    origin_.reset(new NodePeer(QV_ORIGIN_JS, {}, dir_ + "/origin.err"));
    origin_port = static_cast<int>(JsonNumber(origin_->line(), "http"));
  }
  std::vector<std::string> args = {"--port", "0", "--log", log_path_};
  args.insert(args.end(), flags.begin(), flags.end());
  gateway_.reset(new NodePeer(QV_GATEWAY_JS, args, dir_ + "/gateway.err"));
  gateway_port = static_cast<int>(JsonNumber(gateway_->line(), "listening"));
  gateway_sha256 = JsonString(gateway_->line(), "sha256");
  GetProxyConfig()->quorvin_gate_port_ = std::to_string(gateway_port);
  return origin_port > 0 && gateway_port > 0;
}

bool GatewayHarness::Connect() {
  // The attempt runs on the loop: it is driven until it is up or has failed.
  const GatewayLink::State state = thread->StartConnection(&loop);
  if (state != GatewayLink::kConnecting)
    return state == GatewayLink::kUp;
  RunUntil([&] { return !thread->connecting(); }, 15);
  return back()->initialized();
}

bool GatewayHarness::RunUntil(const std::function<bool()>& done, double seconds) {
  const double end = NowSeconds() + seconds;
  while (!done()) {
    if (NowSeconds() > end)
      return false;
    loop.set_timeout_in_us(100000);
    loop.WaitForEventsAndExecuteCallbacks();
    thread->PeriodicCheck();
  }
  return true;
}

size_t GatewayHarness::SendRequest(uint32_t stream_id, const std::string& method,
                                   const std::string& url,
                                   const std::vector<std::pair<std::string, std::string>>& lines) {
  HttpHeaderList headers;
  headers.AppendHeader("method", method.c_str());
  headers.AppendHeader("url", url.c_str());
  headers.AppendHeader("version", "HTTP/1.1");
  for (const auto& line : lines)
    headers.AppendHeader(line.first.c_str(), line.second.c_str());
  headers.SortByKey();
  return session->SendSynImpl(stream_id, headers);
}

size_t GatewayHarness::SendGet(uint32_t stream_id, const std::string& path) {
  const size_t size = SendRequest(stream_id, "GET", path, {{"host", origin_host()}});
  session->SendEndOfStream(stream_id);
  return size;
}

std::vector<std::string> GatewayHarness::Log(const std::string& ev) const {
  std::vector<std::string> lines;
  std::ifstream in(log_path_);
  const std::string tag = "\"ev\":\"" + ev + "\"";
  for (std::string line; std::getline(in, line);) {
    if (ev.empty() || line.find(tag) != std::string::npos)
      lines.push_back(line);
  }
  return lines;
}

int OpenDescriptorCount() {
  int count = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr)
    return -1;
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.')
      ++count;
  }
  closedir(d);
  return count;
}

std::string Sha256Hex(const std::string& bytes) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr);
  std::string hex;
  char buf[3];
  for (unsigned int i = 0; i < len; ++i) {
    snprintf(buf, sizeof(buf), "%02x", md[i]);
    hex += buf;
  }
  return hex;
}
