#include "daemon/spdy/spdy_test_helper.h"

#include <stdio.h>

#include "spdy/frame_builder.h"

std::string FrameBytes(const SpdyFrame& frame) {
  return std::string(frame.data(), frame.size());
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    snprintf(buf, sizeof(buf), i ? " %02x" : "%02x", static_cast<unsigned char>(bytes[i]));
    out += buf;
  }
  return out;
}

std::string DescribeHeaders(const SpdyHeaderMap& headers) {
  std::string out;
  for (const auto& pair : headers) {
    out += pair.first + "=";
    for (char c : pair.second) {
      if (c == '\0') {
        out += "\\0";
      } else {
        out += c;
      }
    }
    out += ";";
  }
  return out;
}

static std::string BuildBlockFrame(SpdyFramer* gateway, uint16_t type, uint32_t stream_id,
                                   const SpdyHeaderMap& headers, uint8_t flags, bool compress) {
  FrameBuilder builder(64);
  builder.WriteUInt16(0x8002);
  builder.WriteUInt16(type);
  builder.WriteUInt32((static_cast<uint32_t>(flags) << 24) |
                      static_cast<uint32_t>(GetHeaderBlockSize(headers) + 6));
  builder.WriteUInt32(stream_id);
  builder.WriteUInt16(0);
  WriteHeaderBlock(&builder, headers);
  std::unique_ptr<SpdyFrame> frame(builder.take());
  if (!compress)
    return FrameBytes(*frame);
  std::unique_ptr<SpdyFrame> compressed(gateway->CompressFrame(*frame));
  return compressed ? FrameBytes(*compressed) : std::string();
}

std::string BuildSynReply(SpdyFramer* gateway, uint32_t stream_id, const SpdyHeaderMap& headers,
                          uint8_t flags, bool compress) {
  return BuildBlockFrame(gateway, SYN_REPLY, stream_id, headers, flags, compress);
}

std::string BuildHeaders(SpdyFramer* gateway, uint32_t stream_id, const SpdyHeaderMap& headers,
                         uint8_t flags) {
  return BuildBlockFrame(gateway, HEADERS, stream_id, headers, flags, true);
}

std::string RawControl(uint16_t version, uint16_t type, uint8_t flags, uint32_t length,
                       const std::string& payload) {
  FrameBuilder builder(8 + payload.size());
  builder.WriteUInt16(static_cast<uint16_t>(0x8000 | version));
  builder.WriteUInt16(type);
  builder.WriteUInt32((static_cast<uint32_t>(flags) << 24) | (length & 0xffffff));
  builder.WriteBytes(payload.data(), payload.size());
  return std::string(builder.data(), builder.length());
}

std::string RawData(uint32_t stream_id, uint8_t flags, const std::string& payload) {
  FrameBuilder builder(8 + payload.size());
  builder.WriteUInt32(stream_id);
  builder.WriteUInt32((static_cast<uint32_t>(flags) << 24) | static_cast<uint32_t>(payload.size()));
  builder.WriteBytes(payload.data(), payload.size());
  return std::string(builder.data(), builder.length());
}

std::string Word(uint32_t v) {
  char b[4];
  SpdyFrame::WriteUInt32(b, v);
  return std::string(b, 4);
}

std::string BuildGatewayStream(SpdyFramer* gateway) {
  std::string s;
  SpdyHeaderMap reply{{"status", "200 OK"},
                      {"version", "HTTP/1.1"},
                      {"content-type", "text/html"},
                      {"set-cookie", std::string("a=1\0b=2", 7)}};
  s += BuildSynReply(gateway, 1, reply, 0);
  s += RawData(1, 0, "hello ");
  s += RawData(1, DATA_FLAG_FIN, "world");
  SpdyHeaderMap short_reply{{"status", "204 No Content"}, {"version", "HTTP/1.1"}};
  s += BuildSynReply(gateway, 3, short_reply, CONTROL_FLAG_FIN);
  s += RawControl(2, PING, 0, 4, Word(1));
  s += RawControl(2, SETTINGS, 0, 12, Word(1) + Word(0x04000000) + Word(100));
  s += RawControl(2, NOOP, 0, 0, "");
  s += BuildHeaders(gateway, 5, SpdyHeaderMap{{"x-extra", "1"}}, 0);
  s += RawControl(2, WINDOW_UPDATE, 0, 8, Word(5) + Word(65536));
  // A compressed data frame, made by the gateway's per-stream compressor.
  std::unique_ptr<SpdyFrame> compressed(gateway->CreateDataFrame(
      5, "compressed body compressed body", 31, DATA_FLAG_COMPRESSED | DATA_FLAG_FIN));
  s += FrameBytes(*compressed);
  s += RawData(7, DATA_FLAG_FIN, "");
  s += RawControl(2, CREDENTIAL, 0, 10, "credential");
  s += RawControl(2, RST_STREAM, 0, 8, Word(9) + Word(SPDY_CANCEL));
  s += RawControl(2, PING, 0, 4, Word(2));
  s += RawControl(2, GOAWAY, 0, 4, Word(9));
  return s;
}

void RecordingFramerVisitor::Append(const std::string& tag, const char* data, size_t len) {
  if (!events.empty() && events.back().compare(0, tag.size(), tag) == 0) {
    events.back().append(data, len);
  } else {
    events.push_back(tag + std::string(data, len));
  }
}

void RecordingFramerVisitor::OnError(SpdyFramer* framer) {
  ++errors;
  events.push_back(std::string("error:") + SpdyFramer::ErrorCodeToString(framer->error_code()));
}

void RecordingFramerVisitor::OnControl(const SpdyFrame& frame) {
  size_t shown = frame.header_block_offset();
  if (shown == 0)
    shown = frame.type() == CREDENTIAL ? 8 : frame.size();
  events.push_back("control:" + std::to_string(frame.type()) + ":" +
                   Hex(std::string(frame.data(), shown)));
}

bool RecordingFramerVisitor::OnControlFrameHeaderData(const SpdyFrame& frame, const char* data,
                                                      size_t len) {
  if (len == 0) {
    events.push_back("block-end:" + std::to_string(frame.stream_id()));
    return true;
  }
  header_piece_sizes.push_back(len);
  Append("block:", data, len);
  return true;
}

bool RecordingFramerVisitor::OnCredentialFrameData(const char* data, size_t len) {
  if (len == 0) {
    events.push_back("credential-end");
  } else {
    Append("credential:", data, len);
  }
  return true;
}

void RecordingFramerVisitor::OnDataFrameStart(const SpdyFrame& frame) {
  events.push_back("data-start:" + std::to_string(frame.stream_id()) + ":" +
                   std::to_string(frame.flags()) + ":" + std::to_string(frame.length()));
}

void RecordingFramerVisitor::OnStreamFrameData(SpdyStreamId stream_id, const char* data,
                                               size_t len) {
  if (len == 0) {
    events.push_back("fin:" + std::to_string(stream_id) + (data == nullptr ? "" : ":non-null"));
  } else {
    Append("data:" + std::to_string(stream_id) + ":", data, len);
  }
}

void RecordingSessionVisitor::OnSyn(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) {
  events.push_back("syn:" + std::to_string(frame.stream_id()) + ":" + DescribeHeaders(*headers));
  kept.push_back(headers);
}

void RecordingSessionVisitor::OnSynReply(const SpdyFrame& frame,
                                         const SpdyHeaderMapHandle& headers) {
  events.push_back("syn-reply:" + std::to_string(frame.stream_id()) + ":" +
                   DescribeHeaders(*headers));
  kept.push_back(headers);
}

void RecordingSessionVisitor::OnHeaders(const SpdyFrame& frame,
                                        const SpdyHeaderMapHandle& headers) {
  events.push_back("headers:" + std::to_string(frame.stream_id()) + ":" +
                   DescribeHeaders(*headers));
  kept.push_back(headers);
}

void RecordingSessionVisitor::OnStreamFrameData(SpdyStreamId stream_id, const char* data,
                                                size_t len) {
  std::string tag = "data:" + std::to_string(stream_id) + ":";
  if (len == 0) {
    events.push_back("fin:" + std::to_string(stream_id));
  } else if (!events.empty() && events.back().compare(0, tag.size(), tag) == 0) {
    events.back().append(data, len);
  } else {
    events.push_back(tag + std::string(data, len));
  }
}

void RecordingSessionVisitor::OnError(SpdyFramer::SpdyError error_code) {
  events.push_back(std::string("error:") + SpdyFramer::ErrorCodeToString(error_code));
}

void RecordingSessionVisitor::OnPing(const SpdyFrame& frame) {
  events.push_back("ping:" + std::to_string(frame.unique_id()));
}

void RecordingSessionVisitor::OnSetting(const SpdyFrame&) {
  events.push_back("setting");
}

void RecordingSessionVisitor::OnStreamError(SpdyStreamId stream_id) {
  events.push_back("stream-error:" + std::to_string(stream_id));
}

void RecordingSessionVisitor::OnRstStream(const SpdyFrame& frame) {
  events.push_back("rst:" + std::to_string(frame.stream_id()) + ":" +
                   std::to_string(frame.status()));
}

void RecordingSessionVisitor::OnGoAway(const SpdyFrame& frame) {
  events.push_back("goaway:" + std::to_string(frame.last_accepted_stream_id()));
}

void RecordingSessionVisitor::OnWindowUpdate(const SpdyFrame& frame) {
  events.push_back("window-update:" + std::to_string(frame.stream_id()) + ":" +
                   std::to_string(frame.delta_window_size()));
}
