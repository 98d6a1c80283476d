#ifndef DAEMON_SPDY_SPDY_FRAMER_H
#define DAEMON_SPDY_SPDY_FRAMER_H

#include <stddef.h>
#include <stdint.h>
#include <zlib.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "spdy/spdy_frame.h"
#include "spdy/spdy_header_map.h"
#include "spdy/spdy_protocol.h"

class SpdyFramer;

// Receives what the framer parses. Frame views are valid only during the call.
class FramerVisitor {
 public:
  virtual ~FramerVisitor() {}
  // The framer has entered the ERROR state; its error code tells why.
  virtual void OnError(SpdyFramer* framer) = 0;
  // A control frame is ready: the whole frame for fixed-size types, the common header and fixed
  // fields for SYN_STREAM, SYN_REPLY and HEADERS (the block follows through
  // OnControlFrameHeaderData), the common header only for CREDENTIAL.
  virtual void OnControl(const SpdyFrame& frame) = 0;
  // A decompressed piece of the header block of the frame last announced; len 0 ends the block.
  // Returning false refuses the piece.
  virtual bool OnControlFrameHeaderData(const SpdyFrame& frame, const char* data, size_t len) = 0;
  // A piece of a CREDENTIAL payload; len 0 ends it.
  virtual bool OnCredentialFrameData(const char* data, size_t len) = 0;
  // The common header of a data frame; its payload follows.
  virtual void OnDataFrameStart(const SpdyFrame& frame) = 0;
  // Payload bytes of a data frame (decompressed when it was compressed). No data and len 0: the
  // stream has ended (FIN).
  virtual void OnStreamFrameData(SpdyStreamId stream_id, const char* data, size_t len) = 0;
};

// Incremental SPDY/2 parser of the gateway's byte stream, and holder of the session's
// compression contexts and the frame creation operations that need them.
class SpdyFramer {
 public:
  enum SpdyState {
    SPDY_ERROR = 0,
    SPDY_DONE = 1,
    SPDY_RESET = 2,
    SPDY_AUTO_RESET = 3,
    SPDY_READING_COMMON_HEADER = 4,
    SPDY_CONTROL_FRAME_PAYLOAD = 5,
    SPDY_IGNORE_REMAINING_PAYLOAD = 6,
    SPDY_FORWARD_STREAM_FRAME = 7,
    SPDY_CONTROL_FRAME_BEFORE_HEADER_BLOCK = 8,
    SPDY_CONTROL_FRAME_HEADER_BLOCK = 9,
    SPDY_CREDENTIAL_FRAME_PAYLOAD = 10,
  };

  enum SpdyError {
    SPDY_NO_ERROR = 0,
    SPDY_INVALID_CONTROL_FRAME = 1,
    SPDY_CONTROL_PAYLOAD_TOO_LARGE = 2,
    SPDY_ZLIB_INIT_FAILURE = 3,
    SPDY_UNSUPPORTED_VERSION = 4,
    SPDY_DECOMPRESS_FAILURE = 5,
    SPDY_COMPRESS_FAILURE = 6,
  };

  // Frame buffer size after every reset, on top of the common header.
  static constexpr size_t kControlFrameBufferInitialSize = 32768;
  // Largest control frame length field accepted (64 KB frames in total).
  static constexpr size_t kControlFrameLengthLimit =
      kControlFrameSizeLimit - SpdyFrame::kHeaderSize;
  // Decompressed header-block data reaches the visitor in pieces of at most this size.
  static constexpr size_t kHeaderDataChunkMaxSize = 10240;
  // Output room for inflating a compressed data-frame piece, per input byte.
  static constexpr size_t kDataInflateRatio = 100;

  SpdyFramer();
  ~SpdyFramer();

  SpdyFramer(const SpdyFramer&) = delete;
  SpdyFramer& operator=(const SpdyFramer&) = delete;

  void set_visitor(FramerVisitor* visitor) { visitor_ = visitor; }

  // Feeds received bytes, split anywhere; returns the bytes consumed.
  size_t ProcessInput(const char* data, size_t len);
  // Prepares for the next frame.
  void Reset();

  SpdyState state() const { return state_; }
  SpdyError error_code() const { return error_code_; }
  bool HasError() const { return state_ == SPDY_ERROR; }

  static const char* StateToString(int state);
  static const char* ErrorCodeToString(int error_code);

  // Frame creation (callers own the result; none on failure). SYN_STREAM and data frames use
  // this framer's compression contexts, so they must be created in the order they are sent.
  // A compressed frame that comes back as none may have left its compression stream out of
  // step with the peer's: the sender must send nothing for it and end the session.
  SpdyFrame* CreateSynStream(SpdyStreamId stream_id, SpdyStreamId associated_stream_id,
                             int priority, uint8_t flags, bool compressed,
                             const SpdyHeaderMap& headers);
  // A stream id with the top bit set would turn the frame into a control frame: refused.
  SpdyFrame* CreateDataFrame(SpdyStreamId stream_id, const char* data, uint32_t len, uint8_t flags);
  static SpdyFrame* CreateRstStream(SpdyStreamId stream_id, uint32_t status);
  static SpdyFrame* CreatePingFrame(uint32_t unique_id);
  // Entries in list order: (id/flags word as written on the wire, value).
  static SpdyFrame* CreateSettings(const std::vector<std::pair<uint32_t, uint32_t>>& entries);

  // Compression contexts, created on first use; none when zlib cannot set one up.
  z_stream* GetHeaderCompressor();
  z_stream* GetHeaderDecompressor();
  z_stream* GetStreamCompressor(SpdyStreamId stream_id);
  z_stream* GetStreamDecompressor(SpdyStreamId stream_id);
  void CleanupCompressorForStream(SpdyStreamId stream_id);
  void CleanupDecompressorForStream(SpdyStreamId stream_id);
  size_t num_stream_compressors() const { return stream_compressors_.size(); }
  size_t num_stream_decompressors() const { return stream_decompressors_.size(); }

  // A new frame holding `frame` with its compressible part deflated: control frames with the
  // header compressor, data frames with their stream's compressor. None for frames that carry
  // nothing compressible or when compression fails.
  SpdyFrame* CompressFrame(const SpdyFrame& frame);

  // Inflates one piece of the current header block and hands the output to the visitor in
  // pieces of at most kHeaderDataChunkMaxSize. Sets the error and fails on a missing
  // decompressor, an inflate failure or a refused piece.
  bool IncrementallyDecompressControlFrameHeaderData(const SpdyFrame& frame, const char* data,
                                                     size_t len);

 private:
  size_t ProcessCommonHeader(const char* data, size_t len);
  void ProcessControlFrameHeader();
  size_t ProcessControlFramePayload(const char* data, size_t len);
  size_t ProcessControlFrameBeforeHeaderBlock(const char* data, size_t len);
  size_t ProcessControlFrameHeaderBlock(const char* data, size_t len);
  size_t ProcessDataFramePayload(const char* data, size_t len);
  size_t ProcessCompressedDataPayload(SpdyStreamId stream_id, const char* data, size_t len);
  size_t ProcessCredentialFramePayload(const char* data, size_t len);

  size_t UpdateCurrentFrameBuffer(const char** data, size_t* len, size_t max_bytes);
  void ExpandControlFrameBuffer(size_t size);
  void set_error(SpdyError error);
  void CurrentFrame(SpdyFrame* frame) const;

  SpdyFrame* CompressFrameWithZStream(const SpdyFrame& frame, z_stream* compressor);
  int DecompressHeaderBlockInZStream(z_stream* decompressor);

  SpdyState state_;
  SpdyError error_code_;
  size_t remaining_payload_;
  size_t remaining_control_payload_;
  size_t remaining_control_header_;
  std::unique_ptr<char[]> current_frame_buffer_;
  size_t current_frame_len_;
  size_t current_frame_capacity_;

  z_stream* header_compressor_;
  z_stream* header_decompressor_;
  std::map<SpdyStreamId, z_stream*> stream_compressors_;
  std::map<SpdyStreamId, z_stream*> stream_decompressors_;

  FramerVisitor* visitor_;
};

#endif  // DAEMON_SPDY_SPDY_FRAMER_H
