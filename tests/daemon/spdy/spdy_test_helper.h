#ifndef TESTS_DAEMON_SPDY_SPDY_TEST_HELPER_H
#define TESTS_DAEMON_SPDY_SPDY_TEST_HELPER_H

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "spdy/spdy_event_adapter.h"
#include "spdy/spdy_frame.h"
#include "spdy/spdy_framer.h"
#include "spdy/spdy_header_map.h"

// Four bytes in network order.
std::string Word(uint32_t v);
// Bytes of a whole frame.
std::string FrameBytes(const SpdyFrame& frame);
std::string Hex(const std::string& bytes);
// "name=value;" per entry in map order, NUL bytes shown as "\0".
std::string DescribeHeaders(const SpdyHeaderMap& headers);

// Frames a gateway sends, built the way a peer would (header blocks compressed by `gateway`'s
// header compressor when `compress`).
std::string BuildSynReply(SpdyFramer* gateway, uint32_t stream_id, const SpdyHeaderMap& headers,
                          uint8_t flags, bool compress = true);
std::string BuildHeaders(SpdyFramer* gateway, uint32_t stream_id, const SpdyHeaderMap& headers,
                         uint8_t flags);
// A control frame with an arbitrary header and payload.
std::string RawControl(uint16_t version, uint16_t type, uint8_t flags, uint32_t length,
                       const std::string& payload);
std::string RawData(uint32_t stream_id, uint8_t flags, const std::string& payload);

// A stream holding every kind of frame the gateway may send; `gateway` provides the sending
// side's compression contexts.
std::string BuildGatewayStream(SpdyFramer* gateway);

// Records framer callbacks as text, joining consecutive pieces of the same payload so that
// records do not depend on how the input was split.
class RecordingFramerVisitor : public FramerVisitor {
 public:
  void OnError(SpdyFramer* framer) override;
  void OnControl(const SpdyFrame& frame) override;
  bool OnControlFrameHeaderData(const SpdyFrame& frame, const char* data, size_t len) override;
  bool OnCredentialFrameData(const char* data, size_t len) override;
  void OnDataFrameStart(const SpdyFrame& frame) override;
  void OnStreamFrameData(SpdyStreamId stream_id, const char* data, size_t len) override;

  std::vector<std::string> events;
  std::vector<size_t> header_piece_sizes;
  int errors = 0;

 private:
  void Append(const std::string& tag, const char* data, size_t len);
};

// Records session events as text.
class RecordingSessionVisitor : public SessionVisitor {
 public:
  void OnSyn(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) override;
  void OnSynReply(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) override;
  void OnHeaders(const SpdyFrame& frame, const SpdyHeaderMapHandle& headers) override;
  void OnStreamFrameData(SpdyStreamId stream_id, const char* data, size_t len) override;
  void OnError(SpdyFramer::SpdyError error_code) override;
  void OnPing(const SpdyFrame& frame) override;
  void OnSetting(const SpdyFrame& frame) override;
  void OnStreamError(SpdyStreamId stream_id) override;
  void OnRstStream(const SpdyFrame& frame) override;
  void OnGoAway(const SpdyFrame& frame) override;
  void OnWindowUpdate(const SpdyFrame& frame) override;

  std::vector<std::string> events;
  std::vector<SpdyHeaderMapHandle> kept;
};

#endif  // TESTS_DAEMON_SPDY_SPDY_TEST_HELPER_H
