// SPDY framer and event adapter on arbitrary bytes in arbitrary pieces.
// Input: one control byte (bit 0: start with a valid compressed SYN_REPLY so the header-block
// path continues an established compression stream; the other bits seed the piece sizes), then
// the byte stream. Checks that consumption never exceeds the input, that nothing is consumed
// after an error, and that an error-free stream gives the same events whole and in pieces.
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

class Recorder : public SessionVisitor {
 public:
  void OnSyn(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override { Block("S", f, *h); }
  void OnSynReply(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override { Block("R", f, *h); }
  void OnHeaders(const SpdyFrame& f, const SpdyHeaderMapHandle& h) override { Block("H", f, *h); }
  void OnStreamFrameData(SpdyStreamId id, const char* data, size_t len) override {
    std::string tag = "D" + std::to_string(id) + ":";
    if (len == 0) {
      events.push_back("F" + std::to_string(id));
    } else if (!events.empty() && events.back().compare(0, tag.size(), tag) == 0) {
      events.back().append(data, len);
    } else {
      events.push_back(tag + std::string(data, len));
    }
  }
  void OnError(SpdyFramer::SpdyError code) override {
    events.push_back("E" + std::to_string(code));
  }
  void OnPing(const SpdyFrame& f) override { Whole("P", f); }
  void OnSetting(const SpdyFrame& f) override { Whole("T", f); }
  void OnStreamError(SpdyStreamId id) override { events.push_back("X" + std::to_string(id)); }
  void OnRstStream(const SpdyFrame& f) override { Whole("r", f); }
  void OnGoAway(const SpdyFrame& f) override { Whole("G", f); }
  void OnWindowUpdate(const SpdyFrame& f) override { Whole("W", f); }

  std::vector<std::string> events;

 private:
  void Whole(const char* tag, const SpdyFrame& f) {
    events.push_back(tag + std::string(f.data(), f.size()));
  }
  void Block(const char* tag, const SpdyFrame& f, const SpdyHeaderMap& h) {
    std::string e = tag + std::string(f.data(), f.header_block_offset());
    for (const auto& pair : h)
      e += pair.first + '\n' + pair.second + '\n';
    events.push_back(e);
  }
};

const std::string& ValidSynReply() {
  static const std::string* bytes = [] {
    SpdyFramer gateway;
    SpdyHeaderMap headers{{"content-type", "text/html"},
                          {"status", "200 OK"},
                          {"version", "HTTP/1.1"},
                          {"x-img-src-len", "2048"}};
    FrameBuilder builder(128);
    builder.WriteUInt16(0x8002);
    builder.WriteUInt16(SYN_REPLY);
    builder.WriteUInt32(static_cast<uint32_t>(GetHeaderBlockSize(headers) + 6));
    builder.WriteUInt32(1);
    builder.WriteUInt16(0);
    WriteHeaderBlock(&builder, headers);
    std::unique_ptr<SpdyFrame> plain(builder.take());
    std::unique_ptr<SpdyFrame> compressed(gateway.CompressFrame(*plain));
    return new std::string(compressed->data(), compressed->size());
  }();
  return *bytes;
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
    bool had_error = adapter->HasError();
    size_t used = adapter->ProcessInput(input.data() + at, piece);
    if (used > piece)
      abort();
    if (had_error && used != 0)
      abort();
    if (used < piece && !adapter->HasError())
      abort();  // stopping short means an error
    at += piece;
  }
  return Run{recorder.events, adapter->HasError()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  std::string input;
  if (data[0] & 1)
    input = ValidSynReply();
  input.append(reinterpret_cast<const char*>(data + 1), size - 1);
  Run whole = Feed(input, 0);
  Run split = Feed(input, (data[0] >> 1) | 1);
  if (whole.has_error != split.has_error)
    abort();
  if (!whole.has_error && whole.events != split.events)
    abort();
  return 0;
}
