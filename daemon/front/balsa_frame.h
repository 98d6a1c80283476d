#ifndef DAEMON_FRONT_BALSA_FRAME_H
#define DAEMON_FRONT_BALSA_FRAME_H

#include <stddef.h>
#include <stdint.h>

#include "front/balsa_visitor.h"
#include "net/free_list.h"
#include "stream/http_header_list.h"

class LinearByteBuffer;

struct BalsaFrameEnums {
  enum ParseState : int {
    PARSE_ERROR = 0,
    READING_HEADER_AND_FIRSTLINE = 1,
    READING_CHUNK_LENGTH = 2,
    READING_CHUNK_EXTENSION = 3,
    READING_CHUNK_DATA = 4,
    READING_CHUNK_TERM = 5,
    READING_LAST_CHUNK_TERM = 6,
    READING_TRAILER = 7,
    READING_UNTIL_CLOSE = 8,
    READING_CONTENT = 9,
    MESSAGE_FULLY_READ = 10,
  };

  enum ErrorCode : int {
    NO_ERROR = 0,
    NO_STATUS_LINE_IN_RESPONSE = 1,
    NO_REQUEST_LINE_IN_REQUEST = 2,
    FAILED_TO_FIND_WS_AFTER_RESPONSE_VERSION = 3,
    FAILED_TO_FIND_WS_AFTER_REQUEST_METHOD = 4,
    FAILED_TO_FIND_WS_AFTER_RESPONSE_STATUSCODE = 5,
    FAILED_TO_FIND_WS_AFTER_REQUEST_REQUEST_URI = 6,
    FAILED_TO_FIND_NL_AFTER_RESPONSE_REASON_PHRASE = 7,
    FAILED_TO_FIND_NL_AFTER_REQUEST_HTTP_VERSION = 8,
    PARSE_VERSION_IN_RESPONSE_FAILED = 9,
    PARSE_STATUS_IN_RESPONSE_FAILED = 10,
    READ_GENERAL_HEADER_KEY_FAILE = 11,
    READ_GENERAL_HEADER_VALUE_FAILED = 12,
    FAILED_CONVERTING_STATUS_CODE_TO_INT = 13,
    REQUEST_URI_TOO_LONG = 14,
    HEADERS_TOO_LONG = 15,
    UNPARSABLE_CONTENT_LENGTH = 16,
    MAYBE_BODY_BUT_NO_CONTENT_LENGTH = 17,
    REQUIRED_BODY_BUT_NO_CONTENT_LENGTH = 18,
    HEADER_MISSING_COLON = 19,
    INVALID_CHUNK_LENGTH = 20,
    CHUNK_LENGTH_OVERFLOW = 21,
    CALLED_BYTES_SPLICED_WHEN_UNSAFE_TO_DO_SO = 22,
    CALLED_BYTES_SPLICED_AND_EXCEEDED_SAFE_SPLICE_AMOUNT = 23,
    MULTIPLE_CONTENT_LENGTH_KEYS = 24,
    MULTIPLE_TRANSFER_ENCODING_KEYS = 25,
    UNKNOWN_TRANSFER_ENCODING = 26,
    INVALID_HEADER_FORMAT = 27,
    INTERNAL_LOGIC_ERROR = 28,
  };

  enum ContentLengthStatus : int {
    NO_CONTENT_LENGTH = 0,
    CONTENT_LENGTH_ERROR = 1,
    VALID_CONTENT_LENGTH = 2,
  };
};

// Incremental HTTP/1.x message parser. It is fed whatever the socket delivered, consumes what
// it can and reports through its visitor: the sorted header list once the header block is
// complete, then the body, then the end of the message. The caller must offer again any bytes
// a call did not consume.
class BalsaFrame : public BalsaFrameEnums {
 public:
  // Longest first-line token or header value, and longest header key, each exclusive.
  static constexpr size_t kMaxTokenLength = 10240;
  static constexpr size_t kMaxKeyLength = 128;
  static constexpr size_t kDefaultMaxHeaderLength = 32768;

  BalsaFrame();
  virtual ~BalsaFrame();

  BalsaFrame(const BalsaFrame&) = delete;
  BalsaFrame& operator=(const BalsaFrame&) = delete;

  // One of these is made and destroyed for every client: the storage is reused.
  static void* operator new(size_t n) { return FreeList<sizeof(BalsaFrame), 64>::Take(n); }
  static void operator delete(void* p, size_t n) { FreeList<sizeof(BalsaFrame), 64>::Give(p, n); }

  void set_visitor(BalsaVisitor* visitor) { visitor_ = visitor; }
  void set_is_request(bool is_request) { is_request_ = is_request; }
  void set_request_was_head(bool was_head) { request_was_head_ = was_head; }
  bool is_request() const { return is_request_; }

  // Parses what it can of `data`; returns the bytes consumed. A call that completes the header
  // block leaves the bytes after it unconsumed.
  size_t ProcessInput(const char* data, size_t len);
  // Makes the frame ready for the next message; the mode, the limit and the visitor stay.
  void Reset();

  BalsaFrameEnums::ParseState ParseState() const { return parse_state_; }
  BalsaFrameEnums::ErrorCode ErrorCode() const { return last_error_; }
  bool MessageFullyRead() const { return parse_state_ == MESSAGE_FULLY_READ; }
  bool Error() const { return parse_state_ == PARSE_ERROR; }

  const HttpHeaderList& headers() const { return *headers_; }
  size_t header_length() const { return header_length_; }
  size_t max_header_length() const { return max_header_length_; }
  size_t content_length() const { return content_length_; }
  ContentLengthStatus content_length_status() const { return content_length_status_; }
  bool transfer_encoding_is_chunked() const { return transfer_encoding_is_chunked_; }
  int parsed_response_code() const { return parsed_response_code_; }

  static const char* ParseStateToString(BalsaFrameEnums::ParseState state);
  static const char* ErrorCodeToString(BalsaFrameEnums::ErrorCode code);
  // The errors CheckHead raises: a head refused as a whole, before ProcessHeaders.
  static bool IsRefusedHead(BalsaFrameEnums::ErrorCode code);
  // A plain decimal number, blanks or tabs around it allowed, within the range of long.
  static bool ParsePlainLength(const char* text, size_t* length);

 private:
  size_t ProcessHeaderPhase(const char* data, size_t len);
  // Index in the header block of the LF that ends it, examining only the new bytes; -1 when
  // the block does not end within `data`.
  long FindHeaderEnd(const char* data, size_t len);
  // The block of `header_length_` bytes is buffered: parse it and report.
  void CompleteHeaderBlock();
  bool ParseHeaderBlock(const char* p, const char* end);
  bool ParseFirstLine(const char** cursor, const char* end);
  bool ParseHeaderLine(const char** cursor, const char* end);
  // What a proxy must refuse before anything of the request is passed on: a header name that
  // is no token, a NUL or a lone CR anywhere in the block, and a body framing that two readers
  // could take differently (Content-Length that is not a plain number, two that differ, one
  // beside Transfer-Encoding, a transfer coding other than a single "chunked"). False after
  // raising the error.
  bool CheckHead(const char* block, const char* end);
  // No NUL and no CR that is not followed by LF in [p, end).
  static bool BareControlFree(const char* p, const char* end);
  void DecideBody();
  size_t ProcessBody(const char* data, size_t len);
  bool FeedTerminator(char c);
  // Enters PARSE_ERROR with `code` and tells the visitor; returns false for convenience.
  bool HeaderError(BalsaFrameEnums::ErrorCode code);
  void ChunkingError(BalsaFrameEnums::ErrorCode code);

  bool chunk_digit_seen_;
  bool is_request_;
  bool request_was_head_;
  size_t max_header_length_;
  BalsaVisitor* visitor_;
  size_t chunk_length_remaining_;
  size_t content_length_remaining_;
  uint32_t term_chars_;
  BalsaFrameEnums::ParseState parse_state_;
  BalsaFrameEnums::ErrorCode last_error_;
  BalsaVisitor default_visitor_;
  size_t header_length_;
  // The header buffer and its writable region, taken when the first bytes come.
  void TakeHeaderStorage();
  LinearByteBuffer* header_buffer_;
  HttpHeaderList* headers_;
  size_t content_length_;
  ContentLengthStatus content_length_status_;
  bool transfer_encoding_is_chunked_;
  int parsed_response_code_;
  // A CR ended the previous input inside a chunk extension: part of the line end if an LF
  // follows, of the extension otherwise.
  bool extension_cr_pending_;
  // The last (up to four) buffered header bytes, the newest lowest: lets the search for the
  // block's end resume where the previous call stopped.
  uint32_t header_tail_;
  // Start of the header buffer's storage, where the block is written in place.
  char* header_storage_;
};

#endif  // DAEMON_FRONT_BALSA_FRAME_H
