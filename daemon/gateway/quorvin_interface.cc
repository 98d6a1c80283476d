#include "gateway/quorvin_interface.h"

#include <stdio.h>
#include <string.h>

#include "core/link_counters.h"
#include "core/logging.h"
#include "gateway/back_connection.h"
#include "gateway/header_translation.h"
#include "spdy/spdy_frame_record.h"
#include "stream/stream_dispatch.h"

namespace {

const char kTag[] = "quorvin_interface";
const size_t kDataFramePayload = 1024;

}  // namespace

const char QuorvinInterface::kBadGatewayHead[] =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

QuorvinInterface::QuorvinInterface(StreamDispatch* http_thread)
    : adapter_(new SpdyEventAdapter(this)),
      http_thread_(http_thread),
      image_level_(GetProxyConfig()->img_level_) {}

QuorvinInterface::~QuorvinInterface() {}

void QuorvinInterface::set_connection(BackConnection* connection) {
  connection_ = connection;
}

BackConnection* QuorvinInterface::connection() const {
  return connection_;
}

void QuorvinInterface::Reset() {
  if (input_depth_ > 0)
    retired_adapters_.push_back(std::move(adapter_));
  adapter_.reset(new SpdyEventAdapter(this));
  state_ = 0;
  ping_sent_time_ = 0;
  last_ping_reply_time_ = 0;
  next_ping_id_ = 1;
  ping_outstanding_ = false;
  reply_states_.clear();
  // Their records went with the connection; their clients are being closed.
  waiting_streams_.clear();
}

void QuorvinInterface::SetDeviceId(const std::string& device_id) {
  std::lock_guard<std::mutex> lock(device_id_mutex_);
  device_id_ = device_id;
}

std::string QuorvinInterface::device_id() const {
  std::lock_guard<std::mutex> lock(device_id_mutex_);
  return device_id_;
}

void QuorvinInterface::SetQuality2(int level) {
  QV_LOGW(kTag, "SetQuality2 ");
  image_level_.store(level);
}

int QuorvinInterface::image_level() const {
  return image_level_.load();
}

bool QuorvinInterface::Connected() const {
  return connection_ != nullptr && connection_->initialized();
}

size_t QuorvinInterface::SendSynImpl(uint32_t stream_id, const HttpHeaderList& headers) {
  QV_LOGD(kTag, "SendSynImpl");
  if (!Connected()) {
    QV_LOGW(kTag, "SendSynImpl: no gateway connection, stream %u not sent", stream_id);
    return 0;
  }
  SpdyHeaderMap map;
  HeaderTranslation::BuildHeaderMap(headers, GetProxyConfig()->img_tag_, image_level(), &map);
  SendPingFrame();
  SpdyFrame* frame = adapter_->CreateSynStream(stream_id, 0, 0, CONTROL_FLAG_NONE, true, map);
  if (frame == nullptr) {
    // The header compressor may now be out of step with the gateway's: the session cannot go on.
    QV_LOGW(kTag, "SendSynImpl: SYN_STREAM of stream %u could not be made", stream_id);
    connection_->Cleanup("SendSynImpl", 6);
    return 0;
  }
  const size_t size = frame->size();
  EnqueueBackendDataFrame(new SpdyFrameRecord(frame), stream_id);
  LinkCounters::Get().StreamOpened();
  return size;
}

void QuorvinInterface::SendData(uint32_t stream_id, const char* data, size_t len) {
  QV_LOGD(kTag, "stream %u send %d bytes res data", stream_id, static_cast<int>(len));
  SendDataFrames(stream_id, data, len, DATA_FLAG_NONE);
}

void QuorvinInterface::SendEndOfStream(uint32_t stream_id) {
  SendDataFrames(stream_id, nullptr, 0, DATA_FLAG_FIN);
}

void QuorvinInterface::SendDataFrames(uint32_t stream_id, const char* data, size_t len,
                                      uint8_t flags) {
  if (!Connected()) {
    QV_LOGW(kTag, "stream %u: no gateway connection, %d bytes not sent", stream_id,
            static_cast<int>(len));
    return;
  }
  flags &= static_cast<uint8_t>(~DATA_FLAG_COMPRESSED);
  size_t at = 0;
  do {
    const size_t piece = len - at < kDataFramePayload ? len - at : kDataFramePayload;
    const bool last = at + piece == len;
    SpdyFrameRecord* record = SpdyFrameRecord::Create(
        adapter_->CreateDataFrame(stream_id, data == nullptr ? nullptr : data + at,
                                  static_cast<uint32_t>(piece), last ? flags : DATA_FLAG_NONE));
    if (record == nullptr) {
      QV_LOGW(kTag, "stream %u: data frame could not be made", stream_id);
      return;
    }
    EnqueueBackendDataFrame(record, stream_id);
    at += piece;
  } while (at < len);
}

void QuorvinInterface::SendRSTStream(uint32_t stream_id, uint32_t status) {
  QV_LOGW(kTag, "SendRSTStream stream:%d status:%d", static_cast<int>(stream_id),
          static_cast<int>(status));
  // Frames of the stream still on their way are dropped when they come.
  SetReplyState(stream_id, kRejected);
  EnqueueBackendDataFrame(SpdyFrameRecord::Create(SpdyFramer::CreateRstStream(stream_id, status)),
                          stream_id);
}

void QuorvinInterface::SendPingFrame() {
  if (ping_outstanding_ || !Connected())
    return;
  QV_LOGD(kTag, "SendPingFrame");
  SpdyFrameRecord* record = SpdyFrameRecord::Create(SpdyFramer::CreatePingFrame(next_ping_id_));
  next_ping_id_ += 2;
  ping_sent_time_ = time(0);
  ping_outstanding_ = true;
  LinkCounters::Get().PingSent();
  EnqueueBackendDataFrame(record, 0);
}

bool QuorvinInterface::CanWriteToFront(uint32_t stream_id) {
  const int count = connection_ != nullptr ? connection_->QueuedCount(stream_id) : 0;
  QV_LOGD(kTag, "CanWriteToFront stream_id %d size %d", static_cast<int>(stream_id), count);
  if (GetProxyConfig()->max_session_queue_size_ - count > 0)
    return true;
  waiting_streams_.insert(stream_id);
  return false;
}

void QuorvinInterface::WakeStream(uint32_t stream_id) {
  // Only a client told to wait has anything to be woken for.
  if (waiting_streams_.erase(stream_id) == 0)
    return;
  http_thread_->WakeFrontRead(stream_id);
}

void QuorvinInterface::EnqueueBackendDataFrame(DataFrame* record, uint32_t stream_id) {
  if (record == nullptr)
    return;
  QV_LOGD(kTag, "EnqueueBackendDataFrame %p sid=%d", static_cast<void*>(record),
          static_cast<int>(stream_id));
  record->stream_id = stream_id;
  EnqueueDataFrame(record);
}

void QuorvinInterface::EnqueueDataFrame(DataFrame* record) {
  QV_LOGD(kTag, "QuorvinInterface EnqueueDataFrame");
  if (connection_ == nullptr) {
    delete record;
    return;
  }
  connection_->EnqueueDataFrame(record);
}

size_t QuorvinInterface::ProcessInput(const char* data, size_t len) {
  ++input_depth_;
  const size_t consumed = adapter_->ProcessInput(data, len);
  if (--input_depth_ == 0)
    retired_adapters_.clear();
  return consumed;
}

bool QuorvinInterface::GoAwayReceived() const {
  return state_ == 1;
}

bool QuorvinInterface::HasError() const {
  return adapter_->HasError();
}

const char* QuorvinInterface::ErrorText() const {
  return SpdyFramer::ErrorCodeToString(adapter_->error_code());
}

bool QuorvinInterface::ping_outstanding() const {
  return ping_outstanding_;
}

time_t QuorvinInterface::ping_sent_time() const {
  return ping_sent_time_;
}

void QuorvinInterface::OnSyn(const SpdyFrame&, const SpdyHeaderMapHandle&) {
  QV_LOGW(kTag, "OnSyn");
}

void QuorvinInterface::OnSynReply(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) {
  QV_LOGD(kTag, "OnSynReply");
  if (headers.get() == nullptr) {
    QV_LOGW(kTag, "headers.get()==NULL");
    return;
  }
  const uint32_t stream_id = frame.stream_id();
  auto state = reply_states_.find(stream_id);
  if (state != reply_states_.end()) {
    if (state->second != kRejected)
      QV_LOGW(kTag, "OnSynReply stream %u: the stream has had its reply, dropped", stream_id);
    return;
  }
  const bool have_source = headers->count("x-img-src-len") + headers->count("X-Img-Src-Len") > 0;
  const bool have_compressed =
      headers->count("x-img-dst-len") + headers->count("X-Img-Dst-Len") > 0;
  QV_LOGD(kTag, "SpdyHeadersToHttpResponse");
  std::string head;
  std::string source_len;
  std::string compressed_len;
  std::string problem;
  if (!HeaderTranslation::SpdyHeadersToHttpResponse(headers.get(), &head, &source_len,
                                                    &compressed_len, &problem)) {
    RejectReply(stream_id, "OnSynReply", problem.c_str());
    return;
  }
  SetReplyState(stream_id, kReplied);
  http_thread_->ProcessBackInput(stream_id, head.data(), head.size());
  if (have_source && have_compressed) {
    QV_LOGD(kTag, "OnCompressed %s %s", source_len.c_str(), compressed_len.c_str());
    http_thread_->OnStatistic(stream_id, source_len.c_str(), compressed_len.c_str());
  }
}

// Without a status line the client could only wait for its idle timeout, and reply bytes
// without a head would be read as one: it gets a 502 and the stream ends here, towards the
// gateway too.
void QuorvinInterface::RejectReply(uint32_t stream_id, const char* op, const char* why) {
  QV_LOGW(kTag, "%s stream %u: %s, answering 502", op, stream_id, why);
  http_thread_->ProcessBackInput(stream_id, kBadGatewayHead, sizeof(kBadGatewayHead) - 1);
  http_thread_->QuorvinStreamDone(stream_id);
  SendRSTStream(stream_id, SPDY_CANCEL);
}

void QuorvinInterface::SetReplyState(uint32_t stream_id, ReplyState state) {
  reply_states_[stream_id] = state;
  while (reply_states_.size() > kMaxReplyStates)
    reply_states_.erase(reply_states_.begin());
}

void QuorvinInterface::OnHeaders(const SpdyFrame&, const SpdyHeaderMapHandle&) {
  QV_LOGW(kTag, "OnHeaders");
}

void QuorvinInterface::OnStreamFrameData(SpdyStreamId stream_id, const char* data, size_t len) {
  QV_LOGD(kTag, "OnStreamFrameData");
  auto state = reply_states_.find(stream_id);
  if (state == reply_states_.end()) {
    RejectReply(stream_id, "OnStreamFrameData",
                len == 0 ? "end before its reply" : "data before its reply");
    if (len == 0)
      reply_states_.erase(stream_id);
    return;
  }
  switch (state->second) {
    case kRejected:
      if (len == 0)
        reply_states_.erase(state);
      return;
    case kEnded:
      QV_LOGW(kTag, "OnStreamFrameData stream %u: %zu bytes after its end, dropped", stream_id,
              len);
      return;
    case kReplied:
      break;
  }
  if (len == 0) {
    state->second = kEnded;
    http_thread_->QuorvinStreamDone(stream_id);
  } else {
    http_thread_->ProcessBackInput(stream_id, data, len);
  }
}

void QuorvinInterface::OnError(SpdyFramer::SpdyError error_code) {
  QV_LOGW(kTag, "OnError %d", static_cast<int>(error_code));
}

void QuorvinInterface::OnPing(const SpdyFrame& frame) {
  QV_LOGD(kTag, "OnPing");
  if (frame.unique_id() & 1) {
    if (ping_outstanding_)
      LinkCounters::Get().PingAnswered();
    ping_outstanding_ = false;
    last_ping_reply_time_ = time(0);
  } else {
    QV_LOGD(kTag, "server ping");
  }
}

void QuorvinInterface::OnSetting(const SpdyFrame&) {
  QV_LOGW(kTag, "OnSetting");
}

void QuorvinInterface::OnStreamError(SpdyStreamId stream_id) {
  if (reply_states_.count(stream_id) != 0) {
    QV_LOGW(kTag, "OnStreamError stream %u: reply header block does not parse, dropped", stream_id);
    return;
  }
  RejectReply(stream_id, "OnStreamError", "reply header block does not parse");
}

void QuorvinInterface::OnRstStream(const SpdyFrame& frame) {
  const uint32_t stream_id = frame.stream_id();
  QV_LOGW(kTag, "OnRstStream %d", static_cast<int>(stream_id));
  auto state = reply_states_.find(stream_id);
  const bool rejected = state != reply_states_.end() && state->second == kRejected;
  if (state != reply_states_.end())
    reply_states_.erase(state);
  // The client already has its 502 (or is gone); a reset now would cut it off.
  if (rejected)
    return;
  http_thread_->QuorvinOnRstStream(stream_id);
}

void QuorvinInterface::OnGoAway(const SpdyFrame&) {
  QV_LOGW(kTag, "OnGoAway");
  state_ = 1;
}

void QuorvinInterface::OnWindowUpdate(const SpdyFrame&) {
  QV_LOGW(kTag, "OnWindowUpdate");
}
