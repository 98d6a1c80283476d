#include "front/http_interface.h"

#include <arpa/inet.h>
#include <string.h>
#include <strings.h>

#include <string>

#include "core/logging.h"
#include "front/front_connection.h"
#include "front/http_thread.h"
#include "front/https_connection.h"
#include "front/own_address.h"
#include "net/name_resolver.h"
#include "stream/http_header_list.h"
#include "stream/stream_sender.h"

namespace {

const char kTag[] = "http_interface";

bool IsRequestLineKey(const char* key) {
  return strcmp(key, "method") == 0 || strcmp(key, "url") == 0 || strcmp(key, "version") == 0;
}

}  // namespace

HttpInterface::HttpInterface(FrontConnection* front, StreamSender* gateway)
    : front_(front), gateway_(gateway) {
  balsa_frame_.set_visitor(this);
  balsa_frame_.set_is_request(true);
}

HttpInterface::~HttpInterface() {
  balsa_frame_.Reset();
}

size_t HttpInterface::ProcessReadInput(const char* data, size_t len) {
  return balsa_frame_.ProcessInput(data, len);
}

bool HttpInterface::MessageFullyRead() const {
  return message_done_;
}

bool HttpInterface::Error() const {
  return balsa_frame_.Error();
}

bool HttpInterface::ReadyForMore(uint32_t stream_id) {
  return !syn_sent_ || gateway_->CanWriteToFront(stream_id);
}

const char* HttpInterface::ErrorAsString() const {
  return BalsaFrame::ErrorCodeToString(balsa_frame_.ErrorCode());
}

bool HttpInterface::HeadRefused() const {
  return balsa_frame_.Error() && BalsaFrame::IsRefusedHead(balsa_frame_.ErrorCode());
}

bool HttpInterface::TargetsProxyItself(const HttpHeaderList& headers,
                                       const std::string& url) const {
  const OwnAddress* own =
      front_->http_thread() != nullptr ? front_->http_thread()->own_address() : nullptr;
  if (own == nullptr)
    return false;
  // The gateway fetches an absolute url from its authority, an origin-form one from Host.
  std::string authority;
  if (url.size() > 7 && strncasecmp(url.c_str(), "http://", 7) == 0) {
    authority = url.substr(7, url.find_first_of("/?#", 7) - 7);
  } else {
    HttpHeaderList::const_iterator host = headers.Lookup("host");
    if (host != headers.end())
      authority = host->value;
  }
  return own->IsTarget(authority, 80);
}

HttpHeaderList* HttpInterface::WithoutClientRequestLineKeys(const HttpHeaderList& headers) {
  // The parser puts the request line's entries first among equal keys, and the list is
  // sorted, so every later line with one of those keys came from the client.
  bool any = false;
  const char* previous = nullptr;
  for (const HttpHeaderLine& line : headers) {
    if (previous != nullptr && strcmp(previous, line.key) == 0 && IsRequestLineKey(line.key)) {
      any = true;
      break;
    }
    previous = line.key;
  }
  if (!any)
    return nullptr;
  HttpHeaderList* kept = new HttpHeaderList();
  previous = nullptr;
  for (const HttpHeaderLine& line : headers) {
    const bool repeat = previous != nullptr && strcmp(previous, line.key) == 0;
    previous = line.key;
    if (repeat && IsRequestLineKey(line.key))
      continue;
    kept->AppendHeader(line.key, line.value);
  }
  return kept;
}

void HttpInterface::ProcessHeaders(const HttpHeaderList& all_headers) {
  HttpHeaderList* filtered = WithoutClientRequestLineKeys(all_headers);
  const HttpHeaderList& headers = filtered != nullptr ? *filtered : all_headers;

  QV_LOGD(kTag, "------------Req--------");
  for (const HttpHeaderLine& line : headers)
    QV_LOGD(kTag, "%s: %s", line.key, line.value);
  QV_LOGD(kTag, "------------Res End-----");

  std::string method;
  std::string url;
  for (const HttpHeaderLine& line : headers) {
    if (strcmp(line.key, "method") == 0) {
      if (strncmp(line.value, "CONNECT", 7) == 0) {
        QV_LOGD(kTag, "ishttps");
        front_->set_is_https(true);
      }
      method = line.value;
    } else if (strcmp(line.key, "url") == 0) {
      url = line.value;
    }
  }
  if (method.empty() || url.empty()) {
    QV_LOGW(kTag, "ProcessHeaders error");
    delete filtered;
    // Nothing will come for this request: the client is closed now, not at its idle time.
    front_->CloseFromSM();
    return;
  }
  front_->set_request(method, url);
  if (!front_->is_https() && TargetsProxyItself(headers, url)) {
    QV_LOGW(kTag, "request to the proxy's own address refused: %s", url.c_str());
    delete filtered;
    front_->RefuseRequest();
    return;
  }
  if (!front_->is_https()) {
    if (gateway_ != nullptr) {
      // The id is taken now, not at accept: the gateway needs SYN_STREAMs in increasing id
      // order, and concurrent clients complete their requests in any order.
      const uint32_t stream_id = front_->http_thread()->AssignStreamId(front_);
      QV_LOGD(kTag, "stream %u send syn headers", stream_id);
      syn_sent_ = gateway_->SendSynImpl(stream_id, headers) > 0;
    }
  } else {
    OpenTunnel(headers);
  }
  delete filtered;
}

void HttpInterface::OpenTunnel(const HttpHeaderList& headers) {
  HttpHeaderList::const_iterator target = headers.Lookup("host");
  if (target == headers.end()) {
    QV_LOGW(kTag, "https can't find host");
    target = headers.Lookup("url");
    if (target == headers.end()) {
      QV_LOGW(kTag, "https can't find url");
      front_->CloseFromSM();
      return;
    }
  }
  tunnel_host_ = target->value;
  tunnel_port_ = "443";
  const size_t colon = tunnel_host_.find(':');
  if (colon != std::string::npos) {
    tunnel_port_ = tunnel_host_.substr(colon + 1);
    tunnel_host_.resize(colon);
  }
  // An address needs no lookup. A name is looked up off the loop, so that a slow name server
  // holds up this client alone; its bytes wait meanwhile.
  struct in_addr numeric;
  HttpThread* thread = front_->http_thread();
  if (inet_pton(AF_INET, tunnel_host_.c_str(), &numeric) == 1 || thread == nullptr) {
    OpenTunnelTo(ResolveHostToText(tunnel_host_));
    return;
  }
  front_->set_tunnel_pending(true);
  thread->LookUpTunnelTarget(front_, tunnel_host_);
}

void HttpInterface::OpenTunnelTo(const std::string& address) {
  QV_LOGD(kTag, "https gethostbyname ok %s %s", tunnel_host_.c_str(), tunnel_port_.c_str());
  // A tunnel that cannot be opened gets no reply; its client is closed now rather than left
  // waiting for its idle time.
  if (address.empty()) {
    QV_LOGW(kTag, "answer == NULL");
    front_->CloseFromSM();
    return;
  }
  const OwnAddress* own =
      front_->http_thread() != nullptr ? front_->http_thread()->own_address() : nullptr;
  if (own != nullptr && own->IsTarget(address + ":" + tunnel_port_, 443)) {
    QV_LOGW(kTag, "CONNECT to the proxy's own address refused: %s:%s", address.c_str(),
            tunnel_port_.c_str());
    front_->CloseFromSM();
    return;
  }
  HttpsConnection* tunnel = new HttpsConnection(front_);
  if (!tunnel->ConnectToTarget(address, tunnel_port_, front_->epoll_server())) {
    QV_LOGW(kTag, "https init failed ok");
    delete tunnel;
    front_->CloseFromSM();
    return;
  }
  front_->http_thread()->AddHttpsConnection(tunnel);
  front_->set_tunnel(tunnel);
}

void HttpInterface::ProcessBodyData(const char* data, size_t len) {
  QV_LOGD(kTag, "ProcessBodyData %d", static_cast<int>(len));
  // Body bytes of a request that opened no stream have nowhere to go.
  if (syn_sent_)
    gateway_->SendData(front_->stream_id(), data, len);
}

void HttpInterface::MessageDone() {
  if (!front_->is_https() && syn_sent_)
    gateway_->SendEndOfStream(front_->stream_id());
  QV_LOGD(kTag, "MessageDone");
  message_done_ = true;
}

void HttpInterface::HandleError() {
  QV_LOGW(kTag, "HandleError");
}

void HttpInterface::HandleHeaderError(BalsaFrame*) {
  HandleError();
}

void HttpInterface::HandleHeaderWarning(BalsaFrame*) {
  QV_LOGW(kTag, "HandleHeaderWarning");
}

void HttpInterface::HandleChunkingError(BalsaFrame*) {
  HandleError();
}

void HttpInterface::HandleBodyError(BalsaFrame*) {
  QV_LOGW(kTag, "HandleBodyError");
  HandleError();
}
