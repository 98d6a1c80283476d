#include "gateway/quorvin_thread.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <openssl/err.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

#include "control/command_notifier.h"
#include "core/error_text.h"
#include "core/logging.h"
#include "gateway/quorvin_interface.h"
#include "net/async_resolver.h"
#include "net/create_listener.h"
#include "net/name_resolver.h"
#include "spdy/spdy_frame_record.h"
#include "spdy/spdy_framer.h"
#include "stream/stream_dispatch.h"

namespace {

const char kTag[] = "quorvin_thread";

// The gateway's address, resolved once per process.
std::mutex g_resolved_mutex;
std::string g_resolved_address;

}  // namespace

QuorvinThread::QuorvinThread(QuorvinInterface* session)
    : Thread("QuorvinThread"),
      epoll_server_(new EpollServer(1024)),
      session_(session),
      back_connection_(this, session),
      connector_(this) {}

QuorvinThread::~QuorvinThread() {
  if (back_connection_.initialized())
    back_connection_.Cleanup("OnShutdown", 1);
}

// The proxy never starts this object as a thread: the gateway connection lives on the
// HttpThread's loop, and this one stays empty.
void QuorvinThread::Run() {
  QV_LOGD(kTag, "QuorvinThread Run: the gateway connection runs on the HttpThread");
}

void QuorvinThread::set_http_thread(StreamDispatch* http_thread) {
  http_thread_ = http_thread;
}

StreamDispatch* QuorvinThread::http_thread() const {
  return http_thread_;
}

void QuorvinThread::set_notifier(CommandNotifier* notifier) {
  notifier_ = notifier;
}

BackConnection* QuorvinThread::back_connection() {
  return &back_connection_;
}

void QuorvinThread::PeriodicCheck() {
  if (resolving_)
    TakeLookup();
  connector_.CheckDeadline();
  if (tick_++ > 9) {
    tick_ = 0;
    if (back_connection_.initialized())
      back_connection_.CheckTimeout();
  }
}

uint64_t QuorvinThread::DeviceValue(const std::string& device_id) {
  bool digits = true;
  for (unsigned char c : device_id) {
    if (!isdigit(c)) {
      digits = false;
      break;
    }
  }
  // atoll's own conversion, with its clamp at LLONG_MAX for longer numbers made explicit.
  if (digits)
    return static_cast<uint64_t>(strtoll(device_id.c_str(), nullptr, 10));
  uint64_t h = 0;
  for (unsigned char c : device_id)
    h = h * 131 + c;
  return h;
}

GatewayLink::State QuorvinThread::StartConnection(EpollServer* loop) {
  if (back_connection_.initialized())
    return kUp;
  if (connecting())
    return kConnecting;
  loop_ = loop;
  ProxyConfig* config = GetProxyConfig();
  bool resolved;
  {
    std::lock_guard<std::mutex> lock(g_resolved_mutex);
    resolved = !g_resolved_address.empty();
  }
  if (!resolved) {
    struct in_addr numeric;
    if (inet_pton(AF_INET, config->quorvin_gate_ip_.c_str(), &numeric) != 1) {
      // A name server that takes its time must not hold up the loop.
      if (resolver_ == nullptr)
        resolver_.reset(new AsyncResolver(loop, 1, kLookupTimeoutMs));
      resolver_->Resolve(config->quorvin_gate_ip_);
      resolving_ = true;
      return kConnecting;
    }
    std::lock_guard<std::mutex> lock(g_resolved_mutex);
    g_resolved_address = config->quorvin_gate_ip_;
    QV_LOGD(kTag, "StartConnection answer  %s", g_resolved_address.c_str());
  }
  return BeginConnect() ? kConnecting : kDown;
}

void QuorvinThread::TakeLookup() {
  std::vector<AsyncResolver::Result> results;
  resolver_->TakeResults(&results);
  if (results.empty())
    return;
  resolving_ = false;
  const AsyncResolver::Result& r = results.front();
  char text[INET_ADDRSTRLEN];
  if (r.code != 0 || inet_ntop(AF_INET, &r.address, text, sizeof(text)) == nullptr) {
    QV_LOGW(kTag, "StartConnection answer == NULL");
    if (http_thread_ != nullptr)
      http_thread_->QuorvinConnectionFailed();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(g_resolved_mutex);
    GetProxyConfig()->quorvin_gate_ip_ = text;
    g_resolved_address = text;
  }
  QV_LOGD(kTag, "StartConnection answer  %s", text);
  if (!BeginConnect() && http_thread_ != nullptr)
    http_thread_->QuorvinConnectionFailed();
}

bool QuorvinThread::BeginConnect() {
  std::string address;
  {
    std::lock_guard<std::mutex> lock(g_resolved_mutex);
    address = g_resolved_address;
  }
  if (connector_.Start(loop_, address, GetProxyConfig()->quorvin_gate_port_, handshake_timeout_ms_))
    return true;
  if (notifier_ != nullptr)
    notifier_->OnInformation(2, "StartConnection err");
  return false;
}

void QuorvinThread::OnGatewayConnectFailed() {
  if (notifier_ != nullptr)
    notifier_->OnInformation(2, "StartConnection err");
  if (http_thread_ != nullptr)
    http_thread_->QuorvinConnectionFailed();
}

void QuorvinThread::OnGatewayConnected(int fd, SSL* ssl, SSL_CTX* ctx) {
  // Attached before the HttpThread hears of it, so that a loop that refuses the descriptor is
  // one more failed attempt rather than a started connection with no socket behind it.
  if (back_connection_.InitBackConnection(loop_, fd, ssl, ctx) != 0) {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    OnGatewayConnectFailed();
    return;
  }
  if (http_thread_ != nullptr)
    http_thread_->QuorvinConnectionStart();
  SendSettings();
  // Whatever the handshake's reads took in beyond it waits in the TLS layer, which raises no
  // readable edge of its own.
  loop_->SetFDReady(fd, EPOLLIN);
}

void QuorvinThread::SendSettings() {
  const std::string device_id = session_->device_id();
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  entries.emplace_back(0x64000000u, 1u);
  if (!device_id.empty()) {
    QV_LOGW(kTag, "device_id %s", device_id.c_str());
    const uint64_t value = DeviceValue(device_id);
    entries.emplace_back(0x65000000u, static_cast<uint32_t>(value >> 32));
    entries.emplace_back(0x66000000u, static_cast<uint32_t>(value & 0xffffffffu));
  } else {
    QV_LOGW(kTag, "device_id.size()==0");
  }
  SpdyFrameRecord* record = SpdyFrameRecord::Create(SpdyFramer::CreateSettings(entries));
  if (record == nullptr)
    return;
  record->stream_id = 0;
  back_connection_.EnqueueDataFrame(record);
}
