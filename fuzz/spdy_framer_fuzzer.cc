// SPDY framer driven through the event adapter, on bytes in arbitrary pieces.
//
// Input: one control byte, then the stream description.
//   bit 1 clear (raw mode): the rest is the byte stream itself; bit 0 puts a valid compressed
//     SYN_REPLY in front so that header blocks continue an established compression stream.
//   bit 1 set (built mode): the rest is a list of records {op, n, n payload bytes}; each record
//     becomes one frame built and compressed the way the gateway would (header blocks with the
//     session's header compressor, data with the stream's own), so the header map, block limit
//     and data decompression paths are reached. op bits 0-2 kind, bit 3 FIN, bit 4 COMPRESSED
//     (data) or a well-formed header map (header frames), bits 5-7 how often the payload repeats.
//   bits 2-7 seed the piece sizes of the split run.
// Every run must consume no more than offered and nothing after an error, and give the same
// events whole and in pieces. A built stream without raw records must also give exactly the
// events its frames call for.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "spdy/frame_builder.h"
#include "spdy/spdy_event_adapter.h"
#include "spdy/spdy_framer.h"

namespace {

// Session events as text, consecutive data of one stream merged.
class EventLog {
 public:
  void Block(const char* tag, const char* fixed, size_t fixed_len, const SpdyHeaderMap& h) {
    std::string e = tag + std::string(fixed, fixed_len);
    for (const auto& pair : h)
      e += std::to_string(pair.first.size()) + ':' + pair.first +
           std::to_string(pair.second.size()) + ':' + pair.second;
    events.push_back(e);
  }
  void Data(SpdyStreamId id, const char* data, size_t len) {
    std::string tag = "D" + std::to_string(id) + ":";
    if (len == 0) {
      events.push_back("F" + std::to_string(id));
    } else if (!events.empty() && events.back().compare(0, tag.size(), tag) == 0) {
      events.back().append(data, len);
    } else {
      events.push_back(tag + std::string(data, len));
    }
  }
  void Whole(const char* tag, const char* data, size_t len) {
    events.push_back(tag + std::string(data, len));
  }
  void Error(int code) { events.push_back("E" + std::to_string(code)); }

  std::vector<std::string> events;
};

class Recorder : public SessionVisitor {
 public:
  void OnSyn(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override { Block("S", f, *h); }
  void OnSynReply(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override { Block("R", f, *h); }
  void OnHeaders(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override { Block("H", f, *h); }
  void OnStreamFrameData(SpdyStreamId id, const char* data, size_t len) override {
    if ((data == nullptr) != (len == 0))
      abort();
    log.Data(id, data, len);
  }
  void OnError(SpdyFramer::SpdyError code) override { log.Error(code); }
  void OnPing(const SpdyFrame& f) override { log.Whole("P", f.data(), f.size()); }
  void OnSetting(const SpdyFrame& f) override { log.Whole("T", f.data(), f.size()); }
  void OnStreamError(SpdyStreamId id) override { log.events.push_back("X" + std::to_string(id)); }
  void OnRstStream(const SpdyFrame& f) override { log.Whole("r", f.data(), f.size()); }
  void OnGoAway(const SpdyFrame& f) override { log.Whole("G", f.data(), f.size()); }
  void OnWindowUpdate(const SpdyFrame& f) override { log.Whole("W", f.data(), f.size()); }

  EventLog log;

 private:
  void Block(const char* tag, const SpdyFrame& f, const SpdyHeaderMap& h) {
    log.Block(tag, f.data(), f.header_block_offset(), h);
  }
};

SpdyFrame* BuildHeaderFrame(uint16_t type, uint8_t flags, uint32_t stream_id,
                            const std::string& block) {
  const size_t fixed = type == SYN_STREAM ? kSynStreamFixedSize : kSynReplyFixedSize;
  FrameBuilder builder(fixed + block.size());
  builder.WriteUInt16(0x8002);
  builder.WriteUInt16(type);
  builder.WriteUInt32(static_cast<uint32_t>(flags) << 24 |
                      static_cast<uint32_t>(fixed - SpdyFrame::kHeaderSize + block.size()));
  builder.WriteUInt32(stream_id);
  if (type == SYN_STREAM) {
    builder.WriteUInt32(stream_id + 1);
    builder.WriteUInt16(0x4000);
  } else {
    builder.WriteUInt16(0);
  }
  builder.WriteBytes(block.data(), block.size());
  return builder.take();
}

const std::string& ValidSynReply() {
  static const std::string* bytes = [] {
    SpdyFramer gateway;
    SpdyHeaderMap headers{{"content-type", "text/html"},
                          {"status", "200 OK"},
                          {"version", "HTTP/1.1"},
                          {"x-img-src-len", "2048"}};
    FrameBuilder block(128);
    WriteHeaderBlock(&block, headers);
    std::unique_ptr<SpdyFrame> plain(
        BuildHeaderFrame(SYN_REPLY, 0, 1, std::string(block.data(), block.length())));
    std::unique_ptr<SpdyFrame> compressed(gateway.CompressFrame(*plain));
    return new std::string(compressed->data(), compressed->size());
  }();
  return *bytes;
}

const int kRepeats[8] = {1, 2, 3, 8, 40, 128, 129, 160};

// Builds the stream of built mode and, while every record is a well-formed frame, the events
// it must give. `exact` turns false at the first raw record.
struct Script {
  std::string bytes;
  EventLog expected;
  bool exact = true;
  bool stopped = false;  // the expected events end with an error
};

void ExpectFixedFrame(Script* s, const std::string& frame) {
  if (s->stopped)
    return;
  const uint16_t type = SpdyFrame::ReadUInt16(frame.data() + 2);
  const char* tag = type == RST_STREAM      ? "r"
                    : type == PING          ? "P"
                    : type == GOAWAY        ? "G"
                    : type == WINDOW_UPDATE ? "W"
                                            : nullptr;
  if (tag != nullptr)
    s->expected.Whole(tag, frame.data(), frame.size());
}

std::string FixedFrame(const std::string& payload) {
  const uint8_t pick = payload.empty() ? 0 : static_cast<uint8_t>(payload[0]);
  std::string args = payload.size() > 1 ? payload.substr(1) : std::string();
  FrameBuilder b(64);
  auto word = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = at; i < at + 4; ++i)
      v = v << 8 | (i < args.size() ? static_cast<uint8_t>(args[i]) : 0);
    return v;
  };
  b.WriteUInt16(0x8002);
  switch (pick % 7) {
    case 0:
      b.WriteUInt16(RST_STREAM);
      b.WriteUInt32(8);
      b.WriteUInt32(word(0) & kStreamIdMask);
      b.WriteUInt32(word(4));
      break;
    case 1:
      b.WriteUInt16(PING);
      b.WriteUInt32(4);
      b.WriteUInt32(word(0));
      break;
    case 2:
      b.WriteUInt16(GOAWAY);
      b.WriteUInt32(4);
      b.WriteUInt32(word(0) & kStreamIdMask);
      break;
    case 3:
      b.WriteUInt16(WINDOW_UPDATE);
      b.WriteUInt32(8);
      b.WriteUInt32(word(0) & kStreamIdMask);
      b.WriteUInt32(word(4));
      break;
    case 4: {
      const uint32_t entries = pick >> 3;
      b.WriteUInt16(SETTINGS);
      b.WriteUInt32(4 + 8 * entries);
      b.WriteUInt32(entries);
      for (uint32_t i = 0; i < entries; ++i) {
        b.WriteUInt32(word(8 * i));
        b.WriteUInt32(word(8 * i + 4));
      }
      break;
    }
    case 5:
      b.WriteUInt16(NOOP);
      b.WriteUInt32(0);
      break;
    default: {
      const size_t len = args.size() < 8 ? 8 : args.size();
      args.resize(len);
      b.WriteUInt16(CREDENTIAL);
      b.WriteUInt32(static_cast<uint32_t>(len));
      b.WriteBytes(args.data(), args.size());
      break;
    }
  }
  std::unique_ptr<SpdyFrame> frame(b.take());
  return std::string(frame->data(), frame->size());
}

// A well-formed header map from [len][bytes] strings, names and values in turn; each value
// repeated `repeat` times.
SpdyHeaderMap MapFrom(const std::string& payload, int repeat) {
  SpdyHeaderMap map;
  std::vector<std::string> parts;
  for (size_t at = 0; at < payload.size();) {
    const size_t n = static_cast<uint8_t>(payload[at++]);
    parts.push_back(payload.substr(at, n));
    at += n;
  }
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    std::string value;
    for (int r = 0; r < repeat; ++r)
      value += parts[i + 1];
    map.emplace(parts[i], value);
  }
  return map;
}

Script Build(const uint8_t* data, size_t size) {
  Script s;
  SpdyFramer gateway;
  static const uint16_t kHeaderTypes[3] = {SYN_REPLY, HEADERS, SYN_STREAM};
  for (size_t at = 0; at + 2 <= size;) {
    const uint8_t op = data[at];
    const size_t n = data[at + 1];
    at += 2;
    const std::string payload(reinterpret_cast<const char*>(data + at), std::min(n, size - at));
    at += payload.size();
    const int kind = op & 7;
    const bool fin = (op & 8) != 0;
    const bool bit4 = (op & 16) != 0;
    const int repeat = kRepeats[op >> 5];
    const uint32_t stream_id = payload.empty() ? 1 : static_cast<uint8_t>(payload[0]);
    const std::string rest = payload.empty() ? std::string() : payload.substr(1);
    std::string repeated;
    for (int r = 0; r < repeat; ++r)
      repeated += kind == 0 || kind >= 6 ? payload : rest;

    if (kind == 0 || kind >= 6) {
      s.bytes += repeated;
      s.exact = false;
      continue;
    }
    if (kind == 5) {
      const std::string frame = FixedFrame(payload);
      s.bytes += frame;
      ExpectFixedFrame(&s, frame);
      continue;
    }
    if (kind == 4) {
      const uint8_t flags = (fin ? DATA_FLAG_FIN : 0) | (bit4 ? DATA_FLAG_COMPRESSED : 0);
      std::unique_ptr<SpdyFrame> frame(gateway.CreateDataFrame(
          stream_id, repeated.data(), static_cast<uint32_t>(repeated.size()), flags));
      if (!frame)
        abort();
      s.bytes.append(frame->data(), frame->size());
      if (!s.stopped) {
        if (!repeated.empty())
          s.expected.Data(stream_id, repeated.data(), repeated.size());
        if (fin)
          s.expected.Data(stream_id, nullptr, 0);
      }
      continue;
    }

    const uint16_t type = kHeaderTypes[kind - 1];
    std::string block;
    SpdyHeaderMap map;
    bool parses;
    if (bit4) {
      map = MapFrom(rest, repeat);
      FrameBuilder b(64);
      WriteHeaderBlock(&b, map);
      block.assign(b.data(), b.length());
      parses = true;
    } else {
      block = repeated;
      parses = ParseHeaderBlock(block.data(), block.size(), &map);
    }
    std::unique_ptr<SpdyFrame> plain(
        BuildHeaderFrame(type, fin ? CONTROL_FLAG_FIN : 0, stream_id, block));
    std::unique_ptr<SpdyFrame> frame(gateway.CompressFrame(*plain));
    if (!frame)
      abort();
    s.bytes.append(frame->data(), frame->size());
    if (s.stopped)
      continue;
    if (frame->length() > SpdyFramer::kControlFrameLengthLimit ||
        block.size() > SpdyEventAdapter::kHeaderBufferSize) {
      s.expected.Error(SpdyFramer::SPDY_CONTROL_PAYLOAD_TOO_LARGE);
      s.stopped = true;
      continue;
    }
    if (parses) {
      const char* tag = type == SYN_REPLY ? "R" : type == HEADERS ? "H" : "S";
      s.expected.Block(tag, frame->data(), frame->header_block_offset(), map);
    } else if (type == SYN_REPLY) {
      // The stream waiting for this head hears that it will not come.
      s.expected.events.push_back("X" + std::to_string(stream_id));
    }
    if (fin)
      s.expected.Data(stream_id, nullptr, 0);
  }
  return s;
}

struct Run {
  std::vector<std::string> events;
  bool has_error;
};

Run Feed(const std::string& input, unsigned seed) {
  Recorder recorder;
  std::unique_ptr<SpdyEventAdapter> adapter(new SpdyEventAdapter(&recorder));
  size_t at = 0;
  unsigned state = seed;
  while (at < input.size()) {
    size_t piece = input.size() - at;
    if (seed != 0) {
      state = state * 1103515245u + 12345u;
      piece = std::min<size_t>(piece, 1 + (state >> 16) % 64);
    }
    const bool had_error = adapter->HasError();
    const size_t used = adapter->ProcessInput(input.data() + at, piece);
    if (used > piece)
      abort();
    if (had_error && used != 0)
      abort();
    if (used < piece && !adapter->HasError())
      abort();  // stopping short means an error
    at += piece;
  }
  return Run{recorder.log.events, adapter->HasError()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  const bool built = (data[0] & 2) != 0;
  Script script;
  if (built) {
    script = Build(data + 1, size - 1);
  } else {
    if (data[0] & 1)
      script.bytes = ValidSynReply();
    script.bytes.append(reinterpret_cast<const char*>(data + 1), size - 1);
    script.exact = false;
  }
  const Run whole = Feed(script.bytes, 0);
  const Run split = Feed(script.bytes, (data[0] >> 2) | 1);
  if (whole.has_error != split.has_error)
    abort();
  if (!whole.has_error && whole.events != split.events)
    abort();
  if (script.exact) {
    if (whole.events != script.expected.events || split.events != script.expected.events)
      abort();
  }
  return 0;
}
