#include "spdy/spdy_framer.h"

#include <string.h>

#include <new>

#include "spdy/frame_builder.h"
#include "spdy/spdy_dictionary.h"

namespace {

// zlib parameters of every deflate context: small window and memory, best compression.
const int kCompressorLevel = 9;
const int kCompressorWindowSizeInBits = 11;
const int kCompressorMemLevel = 1;
const char kZlibVersion[] = "1.2.5";

// deflateBound does not count the marker a sync flush appends; this covers it, and the
// compression loop grows the frame further if zlib still holds output back.
const size_t kSyncFlushSlack = 64;

// Largest output buffer for one compressed data-frame piece; more output is drained in turns.
const size_t kMaxDataInflateBuffer = 1 << 20;

const size_t kFrameBufferSize = SpdyFramer::kControlFrameBufferInitialSize + SpdyFrame::kHeaderSize;

class NullFramerVisitor : public FramerVisitor {
 public:
  void OnError(SpdyFramer*) override {}
  void OnControl(const SpdyFrame&) override {}
  bool OnControlFrameHeaderData(const SpdyFrame&, const char*, size_t) override { return true; }
  bool OnCredentialFrameData(const char*, size_t) override { return true; }
  void OnDataFrameStart(const SpdyFrame&) override {}
  void OnStreamFrameData(SpdyStreamId, const char*, size_t) override {}
};

NullFramerVisitor null_visitor;

z_stream* NewZStream() {
  return new (std::nothrow) z_stream();
}

z_stream* CreateDeflate(bool with_dictionary) {
  z_stream* z = NewZStream();
  if (z == nullptr)
    return nullptr;
  int rv = deflateInit2_(z, kCompressorLevel, Z_DEFLATED, kCompressorWindowSizeInBits,
                         kCompressorMemLevel, Z_DEFAULT_STRATEGY, kZlibVersion, sizeof(z_stream));
  if (rv != Z_OK) {
    delete z;
    return nullptr;
  }
  if (with_dictionary && deflateSetDictionary(z, reinterpret_cast<const Bytef*>(kSpdyDictionary),
                                              kSpdyDictionarySize) != Z_OK) {
    deflateEnd(z);
    delete z;
    return nullptr;
  }
  return z;
}

z_stream* CreateInflate() {
  z_stream* z = NewZStream();
  if (z == nullptr)
    return nullptr;
  if (inflateInit_(z, kZlibVersion, sizeof(z_stream)) != Z_OK) {
    delete z;
    return nullptr;
  }
  return z;
}

void EndDeflate(z_stream* z) {
  if (z == nullptr)
    return;
  deflateEnd(z);
  delete z;
}

void EndInflate(z_stream* z) {
  if (z == nullptr)
    return;
  inflateEnd(z);
  delete z;
}

}  // namespace

SpdyFramer::SpdyFramer()
    : state_(SPDY_RESET),
      error_code_(SPDY_NO_ERROR),
      remaining_payload_(0),
      remaining_control_payload_(0),
      remaining_control_header_(0),
      current_frame_len_(0),
      current_frame_capacity_(0),
      header_compressor_(nullptr),
      header_decompressor_(nullptr),
      visitor_(&null_visitor) {}

SpdyFramer::~SpdyFramer() {
  EndDeflate(header_compressor_);
  EndInflate(header_decompressor_);
  for (auto& entry : stream_compressors_)
    EndDeflate(entry.second);
  for (auto& entry : stream_decompressors_)
    EndInflate(entry.second);
}

const char* SpdyFramer::StateToString(int state) {
  switch (state) {
    case SPDY_ERROR:
      return "ERROR";
    case SPDY_DONE:
      return "DONE";
    case SPDY_RESET:
      return "RESET";
    case SPDY_AUTO_RESET:
      return "AUTO_RESET";
    case SPDY_READING_COMMON_HEADER:
      return "READING_COMMON_HEADER";
    case SPDY_CONTROL_FRAME_PAYLOAD:
      return "CONTROL_FRAME_PAYLOAD";
    case SPDY_IGNORE_REMAINING_PAYLOAD:
      return "IGNORE_REMAINING_PAYLOAD";
    case SPDY_FORWARD_STREAM_FRAME:
      return "FORWARD_STREAM_FRAME";
    case SPDY_CONTROL_FRAME_BEFORE_HEADER_BLOCK:
      return "SPDY_CONTROL_FRAME_BEFORE_HEADER_BLOCK";
    case SPDY_CONTROL_FRAME_HEADER_BLOCK:
      return "SPDY_CONTROL_FRAME_HEADER_BLOCK";
    case SPDY_CREDENTIAL_FRAME_PAYLOAD:
      return "SPDY_CREDENTIAL_FRAME_PAYLOAD";
  }
  return "UNKNOWN_STATE";
}

const char* SpdyFramer::ErrorCodeToString(int error_code) {
  switch (error_code) {
    case SPDY_NO_ERROR:
      return "NO_ERROR";
    case SPDY_INVALID_CONTROL_FRAME:
      return "INVALID_CONTROL_FRAME";
    case SPDY_CONTROL_PAYLOAD_TOO_LARGE:
      return "CONTROL_PAYLOAD_TOO_LARGE";
    case SPDY_ZLIB_INIT_FAILURE:
      return "ZLIB_INIT_FAILURE";
    case SPDY_UNSUPPORTED_VERSION:
      return "UNSUPPORTED_VERSION";
    case SPDY_DECOMPRESS_FAILURE:
      return "DECOMPRESS_FAILURE";
    case SPDY_COMPRESS_FAILURE:
      return "COMPRESS_FAILURE";
  }
  return "UNKNOWN_ERROR";
}

void SpdyFramer::set_error(SpdyError error) {
  error_code_ = error;
  state_ = SPDY_ERROR;
  visitor_->OnError(this);
}

void SpdyFramer::Reset() {
  state_ = SPDY_RESET;
  error_code_ = SPDY_NO_ERROR;
  remaining_payload_ = 0;
  remaining_control_payload_ = 0;
  remaining_control_header_ = 0;
  current_frame_len_ = 0;
  // Only a buffer enlarged for a large control frame is replaced.
  if (current_frame_capacity_ != kFrameBufferSize) {
    current_frame_buffer_.reset(new char[kFrameBufferSize]);
    current_frame_capacity_ = kFrameBufferSize;
  }
}

size_t SpdyFramer::ProcessInput(const char* data, size_t len) {
  const size_t original_len = len;
  while (len > 0) {
    size_t n = 0;
    switch (state_) {
      case SPDY_ERROR:
      case SPDY_DONE:
        return original_len - len;
      case SPDY_RESET:
      case SPDY_AUTO_RESET:
        Reset();
        state_ = SPDY_READING_COMMON_HEADER;
        break;
      case SPDY_READING_COMMON_HEADER:
        n = ProcessCommonHeader(data, len);
        break;
      case SPDY_CONTROL_FRAME_PAYLOAD:
        n = ProcessControlFramePayload(data, len);
        if (state_ == SPDY_IGNORE_REMAINING_PAYLOAD) {
          n += ProcessDataFramePayload(data + n, len - n);
        }
        break;
      case SPDY_IGNORE_REMAINING_PAYLOAD:
      case SPDY_FORWARD_STREAM_FRAME:
        n = ProcessDataFramePayload(data, len);
        break;
      case SPDY_CONTROL_FRAME_BEFORE_HEADER_BLOCK:
        n = ProcessControlFrameBeforeHeaderBlock(data, len);
        // An empty header block is complete with its fixed fields; waiting for more input
        // would hold back the frame's end (and its FIN) until the next frame arrives.
        if (state_ == SPDY_CONTROL_FRAME_HEADER_BLOCK && remaining_control_payload_ == 0)
          ProcessControlFrameHeaderBlock(data + n, 0);
        break;
      case SPDY_CONTROL_FRAME_HEADER_BLOCK:
        n = ProcessControlFrameHeaderBlock(data, len);
        break;
      case SPDY_CREDENTIAL_FRAME_PAYLOAD:
        n = ProcessCredentialFramePayload(data, len);
        break;
    }
    data += n;
    len -= n;
  }
  return original_len - len;
}

size_t SpdyFramer::UpdateCurrentFrameBuffer(const char** data, size_t* len, size_t max_bytes) {
  size_t n = *len < max_bytes ? *len : max_bytes;
  if (n > 0) {
    memcpy(current_frame_buffer_.get() + current_frame_len_, *data, n);
    *data += n;
    *len -= n;
    current_frame_len_ += n;
  }
  return n;
}

void SpdyFramer::ExpandControlFrameBuffer(size_t size) {
  size_t needed = size + SpdyFrame::kHeaderSize;
  if (needed <= current_frame_capacity_)
    return;
  char* grown = new char[needed];
  memcpy(grown, current_frame_buffer_.get(), current_frame_len_);
  current_frame_buffer_.reset(grown);
  current_frame_capacity_ = needed;
}

size_t SpdyFramer::ProcessCommonHeader(const char* data, size_t len) {
  const size_t original_len = len;
  if (current_frame_len_ < SpdyFrame::kHeaderSize) {
    UpdateCurrentFrameBuffer(&data, &len, SpdyFrame::kHeaderSize - current_frame_len_);
    if (current_frame_len_ < SpdyFrame::kHeaderSize)
      return original_len - len;
  }
  SpdyFrame frame(current_frame_buffer_.get(), false);
  if (!frame.is_control_frame() && frame.length() == 0) {
    visitor_->OnDataFrameStart(frame);
    if (frame.flags() & DATA_FLAG_FIN) {
      visitor_->OnStreamFrameData(frame.stream_id(), nullptr, 0);
      // The stream is over; a decompressor it may have had goes with it.
      CleanupDecompressorForStream(frame.stream_id());
    }
    state_ = SPDY_AUTO_RESET;
    return original_len - len;
  }
  remaining_payload_ = frame.length();
  if (frame.is_control_frame()) {
    ProcessControlFrameHeader();
  } else {
    visitor_->OnDataFrameStart(frame);
    state_ = SPDY_FORWARD_STREAM_FRAME;
  }
  return original_len - len;
}

void SpdyFramer::ProcessControlFrameHeader() {
  SpdyFrame frame(current_frame_buffer_.get(), false);
  if (frame.version() != kSpdyProtocolVersion) {
    set_error(SPDY_UNSUPPORTED_VERSION);
    return;
  }
  const uint16_t type = frame.type();
  if (type < SYN_STREAM || type > CREDENTIAL) {
    set_error(SPDY_INVALID_CONTROL_FRAME);
    return;
  }
  if (type == NOOP) {
    state_ = SPDY_AUTO_RESET;
    return;
  }
  const uint32_t length = frame.length();
  bool size_ok = true;
  switch (type) {
    case SYN_STREAM:
      size_ok = length >= kSynStreamFixedSize - SpdyFrame::kHeaderSize;
      break;
    case SYN_REPLY:
      size_ok = length >= kSynReplyFixedSize - SpdyFrame::kHeaderSize;
      break;
    case HEADERS:
      size_ok = length >= kHeadersFixedSize - SpdyFrame::kHeaderSize;
      break;
    case RST_STREAM:
    case WINDOW_UPDATE:
      size_ok = length == 8;
      break;
    case SETTINGS:
      size_ok = length >= 4;
      break;
    case PING:
    case GOAWAY:
      size_ok = length == 4;
      break;
    case CREDENTIAL:
      size_ok = length >= 8;
      break;
  }
  if (!size_ok) {
    set_error(SPDY_INVALID_CONTROL_FRAME);
    return;
  }
  remaining_control_payload_ = length;
  if (remaining_control_payload_ > kControlFrameLengthLimit) {
    set_error(SPDY_CONTROL_PAYLOAD_TOO_LARGE);
    return;
  }
  size_t fixed_size = 0;
  switch (type) {
    case CREDENTIAL:
      visitor_->OnControl(frame);
      state_ = SPDY_CREDENTIAL_FRAME_PAYLOAD;
      return;
    case SYN_STREAM:
      fixed_size = kSynStreamFixedSize;
      break;
    case SYN_REPLY:
      fixed_size = kSynReplyFixedSize;
      break;
    case HEADERS:
      fixed_size = kHeadersFixedSize;
      break;
    default:
      ExpandControlFrameBuffer(length);
      state_ = SPDY_CONTROL_FRAME_PAYLOAD;
      return;
  }
  remaining_control_header_ = fixed_size - current_frame_len_;
  remaining_control_payload_ = length + SpdyFrame::kHeaderSize - fixed_size;
  state_ = SPDY_CONTROL_FRAME_BEFORE_HEADER_BLOCK;
}

size_t SpdyFramer::ProcessControlFramePayload(const char* data, size_t len) {
  const size_t original_len = len;
  if (remaining_control_payload_ > 0) {
    size_t n = UpdateCurrentFrameBuffer(&data, &len, remaining_control_payload_);
    remaining_control_payload_ -= n;
    remaining_payload_ -= n;
  }
  if (remaining_control_payload_ == 0) {
    SpdyFrame frame(current_frame_buffer_.get(), false);
    visitor_->OnControl(frame);
    state_ = SPDY_IGNORE_REMAINING_PAYLOAD;
  }
  return original_len - len;
}

size_t SpdyFramer::ProcessControlFrameBeforeHeaderBlock(const char* data, size_t len) {
  const size_t original_len = len;
  size_t n = UpdateCurrentFrameBuffer(&data, &len, remaining_control_header_);
  remaining_control_header_ -= n;
  if (remaining_control_header_ == 0) {
    SpdyFrame frame(current_frame_buffer_.get(), false);
    visitor_->OnControl(frame);
    state_ = SPDY_CONTROL_FRAME_HEADER_BLOCK;
  }
  return original_len - len;
}

size_t SpdyFramer::ProcessControlFrameHeaderBlock(const char* data, size_t len) {
  size_t n = len < remaining_control_payload_ ? len : remaining_control_payload_;
  SpdyFrame frame(current_frame_buffer_.get(), false);
  if (n > 0 && !IncrementallyDecompressControlFrameHeaderData(frame, data, n)) {
    // The state is ERROR; the rest of this input counts as consumed.
    return len;
  }
  remaining_control_payload_ -= n;
  if (remaining_control_payload_ == 0) {
    visitor_->OnControlFrameHeaderData(frame, nullptr, 0);
    if (frame.flags() & CONTROL_FLAG_FIN) {
      visitor_->OnStreamFrameData(frame.stream_id(), nullptr, 0);
    }
    state_ = SPDY_RESET;
  }
  return n;
}

size_t SpdyFramer::ProcessDataFramePayload(const char* data, size_t len) {
  if (remaining_payload_ == 0) {
    state_ = SPDY_AUTO_RESET;
    return 0;
  }
  size_t n = len < remaining_payload_ ? len : remaining_payload_;
  size_t consumed = n;
  SpdyFrame frame(current_frame_buffer_.get(), false);
  if (state_ == SPDY_FORWARD_STREAM_FRAME && n > 0) {
    if (frame.flags() & DATA_FLAG_COMPRESSED) {
      consumed = ProcessCompressedDataPayload(frame.stream_id(), data, n);
      if (state_ == SPDY_ERROR)
        return 0;
    } else {
      visitor_->OnStreamFrameData(frame.stream_id(), data, n);
    }
  }
  remaining_payload_ -= consumed;
  if (remaining_payload_ == 0 && state_ == SPDY_FORWARD_STREAM_FRAME &&
      (frame.flags() & DATA_FLAG_FIN)) {
    visitor_->OnStreamFrameData(frame.stream_id(), nullptr, 0);
    CleanupDecompressorForStream(frame.stream_id());
  }
  return consumed;
}

size_t SpdyFramer::ProcessCompressedDataPayload(SpdyStreamId stream_id, const char* data,
                                                size_t len) {
  z_stream* decompressor = GetStreamDecompressor(stream_id);
  if (decompressor == nullptr) {
    set_error(SPDY_DECOMPRESS_FAILURE);
    return 0;
  }
  size_t room = len < kMaxDataInflateBuffer / kDataInflateRatio ? len * kDataInflateRatio
                                                                : kMaxDataInflateBuffer;
  std::unique_ptr<char[]> out(new (std::nothrow) char[room]);
  if (!out) {
    set_error(SPDY_DECOMPRESS_FAILURE);
    return 0;
  }
  decompressor->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  decompressor->avail_in = static_cast<uInt>(len);
  bool draining = false;
  for (;;) {
    decompressor->next_out = reinterpret_cast<Bytef*>(out.get());
    decompressor->avail_out = static_cast<uInt>(room);
    int rv = inflate(decompressor, Z_SYNC_FLUSH);
    size_t produced = room - decompressor->avail_out;
    if (rv != Z_OK) {
      // After a full buffer, "no progress" only means nothing was held back.
      if (draining && rv == Z_BUF_ERROR && produced == 0)
        break;
      set_error(SPDY_DECOMPRESS_FAILURE);
      return 0;
    }
    if (produced > 0)
      visitor_->OnStreamFrameData(stream_id, out.get(), produced);
    // A full buffer may leave output inside zlib: fetch it now, or a FIN would lose it.
    if (decompressor->avail_out != 0)
      break;
    draining = true;
  }
  return len - decompressor->avail_in;
}

size_t SpdyFramer::ProcessCredentialFramePayload(const char* data, size_t len) {
  size_t n = len < remaining_control_payload_ ? len : remaining_control_payload_;
  if (n > 0) {
    visitor_->OnCredentialFrameData(data, n);
    remaining_control_payload_ -= n;
    remaining_payload_ -= n;
  }
  if (remaining_control_payload_ == 0) {
    visitor_->OnCredentialFrameData(nullptr, 0);
    state_ = SPDY_AUTO_RESET;
  }
  return n;
}

// ---- compression contexts ----

z_stream* SpdyFramer::GetHeaderCompressor() {
  if (header_compressor_ == nullptr)
    header_compressor_ = CreateDeflate(true);
  return header_compressor_;
}

z_stream* SpdyFramer::GetHeaderDecompressor() {
  if (header_decompressor_ == nullptr)
    header_decompressor_ = CreateInflate();
  return header_decompressor_;
}

z_stream* SpdyFramer::GetStreamCompressor(SpdyStreamId stream_id) {
  auto it = stream_compressors_.find(stream_id);
  if (it != stream_compressors_.end())
    return it->second;
  z_stream* z = CreateDeflate(false);
  if (z != nullptr)
    stream_compressors_[stream_id] = z;
  return z;
}

z_stream* SpdyFramer::GetStreamDecompressor(SpdyStreamId stream_id) {
  auto it = stream_decompressors_.find(stream_id);
  if (it != stream_decompressors_.end())
    return it->second;
  z_stream* z = CreateInflate();
  if (z != nullptr)
    stream_decompressors_[stream_id] = z;
  return z;
}

void SpdyFramer::CleanupCompressorForStream(SpdyStreamId stream_id) {
  auto it = stream_compressors_.find(stream_id);
  if (it == stream_compressors_.end())
    return;
  EndDeflate(it->second);
  stream_compressors_.erase(it);
}

void SpdyFramer::CleanupDecompressorForStream(SpdyStreamId stream_id) {
  auto it = stream_decompressors_.find(stream_id);
  if (it == stream_decompressors_.end())
    return;
  EndInflate(it->second);
  stream_decompressors_.erase(it);
}

SpdyFrame* SpdyFramer::CompressFrame(const SpdyFrame& frame) {
  z_stream* compressor = nullptr;
  if (frame.is_control_frame()) {
    if (frame.header_block_offset() == 0)
      return nullptr;
    compressor = GetHeaderCompressor();
  } else {
    compressor = GetStreamCompressor(frame.stream_id());
  }
  if (compressor == nullptr)
    return nullptr;
  return CompressFrameWithZStream(frame, compressor);
}

SpdyFrame* SpdyFramer::CompressFrameWithZStream(const SpdyFrame& frame, z_stream* compressor) {
  const size_t prefix =
      frame.is_control_frame() ? frame.header_block_offset() : SpdyFrame::kHeaderSize;
  const size_t frame_size = frame.size();
  if (frame_size < prefix)
    return nullptr;
  const size_t payload_len = frame_size - prefix;
  size_t room = deflateBound(compressor, static_cast<uLong>(payload_len)) + kSyncFlushSlack;
  size_t capacity = prefix + room;
  std::unique_ptr<char[]> out(new (std::nothrow) char[capacity]);
  if (!out)
    return nullptr;
  memcpy(out.get(), frame.data(), frame_size);

  compressor->next_in = reinterpret_cast<Bytef*>(frame.data() + prefix);
  compressor->avail_in = static_cast<uInt>(payload_len);
  compressor->next_out = reinterpret_cast<Bytef*>(out.get() + prefix);
  compressor->avail_out = static_cast<uInt>(room);
  int rv = deflate(compressor, Z_SYNC_FLUSH);
  // An empty part right after an earlier flush leaves zlib nothing to do, which it reports as
  // Z_BUF_ERROR; the frame is simply sent with an empty compressed part.
  if (rv == Z_BUF_ERROR && payload_len == 0 && compressor->avail_out == room)
    rv = Z_OK;
  // A full output area may mean zlib still holds part of the block: a frame cut short here
  // would also push those bytes into the next frame's block. Grow and continue.
  while (rv == Z_OK && compressor->avail_out == 0) {
    size_t used = capacity;
    size_t grown_capacity = capacity * 2;
    std::unique_ptr<char[]> grown(new (std::nothrow) char[grown_capacity]);
    if (!grown)
      return nullptr;
    memcpy(grown.get(), out.get(), used);
    out.swap(grown);
    capacity = grown_capacity;
    compressor->next_out = reinterpret_cast<Bytef*>(out.get() + used);
    compressor->avail_out = static_cast<uInt>(capacity - used);
    rv = deflate(compressor, Z_SYNC_FLUSH);
    if (rv == Z_BUF_ERROR && compressor->avail_out == capacity - used)
      rv = Z_OK;  // nothing held
  }
  if (rv != Z_OK)
    return nullptr;
  size_t compressed_size = capacity - compressor->avail_out;  // prefix included
  if (compressed_size - SpdyFrame::kHeaderSize > kLengthMask)
    return nullptr;
  SpdyFrame* result = new SpdyFrame(out.release(), true);
  result->set_length(static_cast<uint32_t>(compressed_size - SpdyFrame::kHeaderSize));
  if (!frame.is_control_frame())
    result->set_flags(result->flags() | DATA_FLAG_COMPRESSED);
  return result;
}

int SpdyFramer::DecompressHeaderBlockInZStream(z_stream* decompressor) {
  int rv = inflate(decompressor, Z_SYNC_FLUSH);
  if (rv == Z_NEED_DICT && decompressor->adler == SpdyDictionaryId()) {
    rv = inflateSetDictionary(decompressor, reinterpret_cast<const Bytef*>(kSpdyDictionary),
                              kSpdyDictionarySize);
    if (rv == Z_OK)
      rv = inflate(decompressor, Z_SYNC_FLUSH);
  }
  return rv;
}

bool SpdyFramer::IncrementallyDecompressControlFrameHeaderData(const SpdyFrame& frame,
                                                               const char* data, size_t len) {
  z_stream* decompressor = GetHeaderDecompressor();
  if (decompressor == nullptr) {
    set_error(SPDY_DECOMPRESS_FAILURE);
    return false;
  }
  char buffer[kHeaderDataChunkMaxSize];
  decompressor->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  decompressor->avail_in = static_cast<uInt>(len);
  bool output_full = false;
  // Keep going after a full buffer even when the input is used up: zlib may hold back output
  // that would otherwise be missing from the end of the block.
  while (decompressor->avail_in > 0 || output_full) {
    const uInt in_before = decompressor->avail_in;
    decompressor->next_out = reinterpret_cast<Bytef*>(buffer);
    decompressor->avail_out = sizeof(buffer);
    int rv = DecompressHeaderBlockInZStream(decompressor);
    size_t produced = sizeof(buffer) - decompressor->avail_out;
    if (rv != Z_OK && rv != Z_BUF_ERROR) {
      set_error(SPDY_DECOMPRESS_FAILURE);
      return false;
    }
    if (produced > 0 && !visitor_->OnControlFrameHeaderData(frame, buffer, produced)) {
      set_error(SPDY_CONTROL_PAYLOAD_TOO_LARGE);
      return false;
    }
    if (produced == 0 && decompressor->avail_in == in_before) {
      // No progress. With input left that input can never be decoded.
      if (decompressor->avail_in > 0) {
        set_error(SPDY_DECOMPRESS_FAILURE);
        return false;
      }
      break;
    }
    output_full = decompressor->avail_out == 0;
  }
  return true;
}

// ---- frame creation ----

SpdyFrame* SpdyFramer::CreateSynStream(SpdyStreamId stream_id, SpdyStreamId associated_stream_id,
                                       int priority, uint8_t flags, bool compressed,
                                       const SpdyHeaderMap& headers) {
  const size_t block_size = GetHeaderBlockSize(headers);
  const size_t length = block_size + kSynStreamFixedSize - SpdyFrame::kHeaderSize;
  if (length > kLengthMask)
    return nullptr;
  FrameBuilder builder(block_size + kSynStreamFixedSize);
  bool ok =
      builder.WriteUInt16(kControlFlagMask | kSpdyProtocolVersion) &&
      builder.WriteUInt16(SYN_STREAM) &&
      builder.WriteUInt32((static_cast<uint32_t>(flags) << 24) | static_cast<uint32_t>(length)) &&
      builder.WriteUInt32(stream_id) && builder.WriteUInt32(associated_stream_id) &&
      builder.WriteUInt16(static_cast<uint16_t>((priority & 3) << 14)) &&
      WriteHeaderBlock(&builder, headers);
  if (!ok)
    return nullptr;
  SpdyFrame* frame = builder.take();
  if (frame == nullptr || !compressed)
    return frame;
  SpdyFrame* result = CompressFrame(*frame);
  delete frame;
  return result;
}

SpdyFrame* SpdyFramer::CreateDataFrame(SpdyStreamId stream_id, const char* data, uint32_t len,
                                       uint8_t flags) {
  if (stream_id & ~kStreamIdMask)
    return nullptr;
  if (len > kLengthMask)
    return nullptr;
  FrameBuilder builder(static_cast<size_t>(len) + SpdyFrame::kHeaderSize);
  bool ok = builder.WriteUInt32(stream_id) &&
            builder.WriteUInt32((static_cast<uint32_t>(flags) << 24) | (len & kLengthMask)) &&
            builder.WriteBytes(data, len);
  if (!ok)
    return nullptr;
  SpdyFrame* frame = builder.take();
  if (frame != nullptr && (flags & DATA_FLAG_COMPRESSED)) {
    SpdyFrame* compressed = CompressFrame(*frame);
    delete frame;
    frame = compressed;
  }
  if (flags & DATA_FLAG_FIN)
    CleanupCompressorForStream(stream_id);
  return frame;
}

SpdyFrame* SpdyFramer::CreateRstStream(SpdyStreamId stream_id, uint32_t status) {
  FrameBuilder builder(16);
  bool ok = builder.WriteUInt16(kControlFlagMask | kSpdyProtocolVersion) &&
            builder.WriteUInt16(RST_STREAM) && builder.WriteUInt32(8) &&
            builder.WriteUInt32(stream_id) && builder.WriteUInt32(status);
  return ok ? builder.take() : nullptr;
}

SpdyFrame* SpdyFramer::CreatePingFrame(uint32_t unique_id) {
  FrameBuilder builder(12);
  bool ok = builder.WriteUInt16(kControlFlagMask | kSpdyProtocolVersion) &&
            builder.WriteUInt16(PING) && builder.WriteUInt32(4) && builder.WriteUInt32(unique_id);
  return ok ? builder.take() : nullptr;
}

SpdyFrame* SpdyFramer::CreateSettings(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
  if (entries.size() > (kLengthMask - 4) / 8)
    return nullptr;
  const uint32_t length = static_cast<uint32_t>(8 * entries.size() + 4);
  FrameBuilder builder(length + SpdyFrame::kHeaderSize);
  bool ok = builder.WriteUInt16(kControlFlagMask | kSpdyProtocolVersion) &&
            builder.WriteUInt16(SETTINGS) && builder.WriteUInt32(length) &&
            builder.WriteUInt32(static_cast<uint32_t>(entries.size()));
  for (size_t i = 0; ok && i < entries.size(); ++i) {
    ok = builder.WriteUInt32(entries[i].first) && builder.WriteUInt32(entries[i].second);
  }
  return ok ? builder.take() : nullptr;
}
