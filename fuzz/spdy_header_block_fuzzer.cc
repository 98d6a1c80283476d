// Header blocks: the block parser and the compression both ways.
//
// Input: one control byte (bits 0-2: how often the bytes repeat in the compressed legs, bit 3:
// data frames end with FIN), then the block bytes.
// - A block that parses must encode back to a block of the computed size, no longer than the
//   input, that parses to the same map; a SYN_STREAM built from that map and compressed must
//   reach the receiving side's session visitor with the same map.
// - Any bytes sent as the header blocks of two frames in a row (the second continuing the first
//   one's compression stream) must come out of the receiving framer unchanged, in pieces of at
//   most the framer's piece size.
// - Any bytes sent as compressed data must come out unchanged, and a FIN must drop the stream's
//   contexts on both sides.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "spdy/frame_builder.h"
#include "spdy/spdy_event_adapter.h"
#include "spdy/spdy_framer.h"
#include "spdy/spdy_header_map.h"

namespace {

void Check(bool ok) {
  if (!ok)
    abort();
}

// Collects what a framer delivers, checking the piece rules on the way.
class Collector : public FramerVisitor {
 public:
  void OnError(SpdyFramer*) override { ++errors; }
  void OnControl(const SpdyFrame&) override { blocks.emplace_back(); }
  bool OnControlFrameHeaderData(const SpdyFrame&, const char* data, size_t len) override {
    Check(!blocks.empty());
    if (len == 0) {
      ++ended;
    } else {
      Check(data != nullptr && len <= SpdyFramer::kHeaderDataChunkMaxSize);
      blocks.back().append(data, len);
    }
    return true;
  }
  bool OnCredentialFrameData(const char*, size_t) override { return true; }
  void OnDataFrameStart(const SpdyFrame&) override {}
  void OnStreamFrameData(SpdyStreamId, const char* data, size_t len) override {
    if (len == 0)
      ++fins;
    else
      stream.append(data, len);
  }

  std::vector<std::string> blocks;
  std::string stream;
  int ended = 0;
  int errors = 0;
  int fins = 0;
};

class MapCatcher : public SessionVisitor {
 public:
  void OnSyn(const SpdyFrame&, const SpdyHeaderMapHandle& h) override {
    ++syns;
    map = *h;
  }
  void OnSynReply(const SpdyFrame&, const SpdyHeaderMapHandle&) override { Check(false); }
  void OnHeaders(const SpdyFrame&, const SpdyHeaderMapHandle&) override { Check(false); }
  void OnStreamFrameData(SpdyStreamId, const char*, size_t) override {}
  void OnError(SpdyFramer::SpdyError) override { ++errors; }
  void OnPing(const SpdyFrame&) override { Check(false); }
  void OnSetting(const SpdyFrame&) override { Check(false); }
  void OnStreamError(SpdyStreamId) override { Check(false); }
  void OnRstStream(const SpdyFrame&) override { Check(false); }
  void OnGoAway(const SpdyFrame&) override { Check(false); }
  void OnWindowUpdate(const SpdyFrame&) override { Check(false); }

  SpdyHeaderMap map;
  int syns = 0;
  int errors = 0;
};

std::string Bytes(const SpdyFrame& frame) {
  return std::string(frame.data(), frame.size());
}

// A SYN_REPLY carrying `block` as it is, compressed by `sender`.
std::string CompressedReply(SpdyFramer* sender, const std::string& block) {
  FrameBuilder b(kSynReplyFixedSize + block.size());
  b.WriteUInt16(0x8002);
  b.WriteUInt16(SYN_REPLY);
  b.WriteUInt32(static_cast<uint32_t>(kSynReplyFixedSize - SpdyFrame::kHeaderSize + block.size()));
  b.WriteUInt32(1);
  b.WriteUInt16(0);
  b.WriteBytes(block.data(), block.size());
  std::unique_ptr<SpdyFrame> plain(b.take());
  std::unique_ptr<SpdyFrame> compressed(sender->CompressFrame(*plain));
  Check(compressed != nullptr);
  return Bytes(*compressed);
}

void CheckParsedMap(size_t size, const SpdyHeaderMap& headers) {
  FrameBuilder builder(16);
  Check(WriteHeaderBlock(&builder, headers));
  Check(builder.length() == GetHeaderBlockSize(headers));
  Check(builder.length() <= size);
  SpdyHeaderMap again;
  Check(ParseHeaderBlock(builder.data(), builder.length(), &again));
  Check(again == headers);

  // The daemon's own compressed SYN_STREAM, read back by a session on the other side.
  SpdyFramer daemon;
  std::unique_ptr<SpdyFrame> syn(daemon.CreateSynStream(3, 0, 2, 0, true, headers));
  Check(syn != nullptr);
  MapCatcher catcher;
  SpdyEventAdapter peer(&catcher);
  const std::string wire = Bytes(*syn);
  const bool fits = builder.length() <= SpdyEventAdapter::kHeaderBufferSize &&
                    syn->length() <= SpdyFramer::kControlFrameLengthLimit;
  Check(peer.ProcessInput(wire.data(), wire.size()) == wire.size());
  if (fits) {
    Check(catcher.errors == 0 && catcher.syns == 1);
    Check(catcher.map == headers);
  } else {
    Check(catcher.errors == 1 && catcher.syns == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  const uint8_t control = data[0];
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const size_t len = size - 1;

  SpdyHeaderMap headers;
  if (ParseHeaderBlock(bytes, len, &headers))
    CheckParsedMap(len, headers);

  std::string block;
  for (int r = 0; r < 1 + (control & 7) * 3; ++r)
    block.append(bytes, len);
  if (block.size() + kSynReplyFixedSize > 0xFFFFFF)
    return 0;

  // Two header blocks in a row: the second only decodes after the first.
  SpdyFramer sender;
  const std::string first = CompressedReply(&sender, block);
  const std::string second_block(block.rbegin(), block.rend());
  const std::string second = CompressedReply(&sender, second_block);
  Collector collector;
  SpdyFramer receiver;
  receiver.set_visitor(&collector);
  const std::string wire = first + second;
  const size_t used = receiver.ProcessInput(wire.data(), wire.size());
  const bool too_large =
      first.size() - SpdyFrame::kHeaderSize > SpdyFramer::kControlFrameLengthLimit;
  if (!too_large &&
      second.size() - SpdyFrame::kHeaderSize <= SpdyFramer::kControlFrameLengthLimit) {
    Check(used == wire.size() && collector.errors == 0 && collector.ended == 2);
    Check(collector.blocks.size() == 2);
    Check(collector.blocks[0] == block && collector.blocks[1] == second_block);
  } else if (too_large) {
    Check(collector.errors == 1 && collector.blocks.empty());
  }

  // Compressed data in two frames of one stream.
  const uint8_t fin = (control & 8) ? DATA_FLAG_FIN : 0;
  SpdyFramer data_sender;
  std::unique_ptr<SpdyFrame> d1(data_sender.CreateDataFrame(
      7, block.data(), static_cast<uint32_t>(block.size()), DATA_FLAG_COMPRESSED));
  std::unique_ptr<SpdyFrame> d2(data_sender.CreateDataFrame(7, bytes, static_cast<uint32_t>(len),
                                                            DATA_FLAG_COMPRESSED | fin));
  Check(d1 != nullptr && d2 != nullptr);
  Check(data_sender.num_stream_compressors() == (fin ? 0u : 1u));
  Collector data_collector;
  SpdyFramer data_receiver;
  data_receiver.set_visitor(&data_collector);
  const std::string data_wire = Bytes(*d1) + Bytes(*d2);
  Check(data_receiver.ProcessInput(data_wire.data(), data_wire.size()) == data_wire.size());
  Check(data_collector.errors == 0);
  Check(data_collector.stream == block + std::string(bytes, len));
  Check(data_collector.fins == (fin ? 1 : 0));
  Check(data_receiver.num_stream_decompressors() == (fin ? 0u : 1u));
  return 0;
}
