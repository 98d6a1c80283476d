#include "spdy/spdy_event_adapter.h"

#include <string.h>

SpdyEventAdapter::SpdyEventAdapter(SessionVisitor* visitor)
    : visitor_(visitor), header_buffer_used_(0) {
  framer_.set_visitor(this);
}

SpdyEventAdapter::~SpdyEventAdapter() {}

void SpdyEventAdapter::OnError(SpdyFramer* framer) {
  visitor_->OnError(framer->error_code());
}

void SpdyEventAdapter::OnControl(const SpdyFrame& frame) {
  switch (frame.type()) {
    case SYN_STREAM:
    case SYN_REPLY:
    case HEADERS:
      // A new block. Only the bytes collected for it are ever parsed, so the 32 KB need no
      // clearing (that cost more than the rest of a reply's handling).
      header_buffer_used_ = 0;
      break;
    case RST_STREAM:
      visitor_->OnRstStream(frame);
      break;
    case PING:
      visitor_->OnPing(frame);
      break;
    case GOAWAY:
      visitor_->OnGoAway(frame);
      break;
    case WINDOW_UPDATE:
      visitor_->OnWindowUpdate(frame);
      break;
    default:
      // SETTINGS, NOOP and CREDENTIAL carry nothing the session uses.
      break;
  }
}

bool SpdyEventAdapter::OnControlFrameHeaderData(const SpdyFrame& frame, const char* data,
                                                size_t len) {
  if (len > 0) {
    if (len > kHeaderBufferSize - header_buffer_used_)
      return false;
    memcpy(header_buffer_ + header_buffer_used_, data, len);
    header_buffer_used_ += len;
    return true;
  }
  SpdyHeaderMapHandle headers(new SpdyHeaderMap());
  // A block that does not parse is dropped; the stream of a reply hears of it, since it would
  // otherwise wait for a head that never comes.
  if (!ParseHeaderBlock(header_buffer_, header_buffer_used_, headers.get())) {
    if (frame.type() == SYN_REPLY)
      visitor_->OnStreamError(frame.stream_id());
    return false;
  }
  switch (frame.type()) {
    case SYN_REPLY:
      visitor_->OnSynReply(frame, headers);
      break;
    case HEADERS:
      visitor_->OnHeaders(frame, headers);
      break;
    case SYN_STREAM:
      visitor_->OnSyn(frame, headers);
      break;
    default:
      break;
  }
  return true;
}

bool SpdyEventAdapter::OnCredentialFrameData(const char*, size_t) {
  return true;
}

void SpdyEventAdapter::OnDataFrameStart(const SpdyFrame&) {}

void SpdyEventAdapter::OnStreamFrameData(SpdyStreamId stream_id, const char* data, size_t len) {
  visitor_->OnStreamFrameData(stream_id, data, len);
}
