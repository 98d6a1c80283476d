#include "front/balsa_frame.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/types.h>

#include <algorithm>

#include "core/logging.h"
#include "net/linear_byte_buffer.h"
#include "stream/http_header_list.h"

namespace {

const char kTag[] = "balsa_frame";

const char* const kParseStateNames[] = {
    "PARSE_ERROR",
    "READING_HEADER_AND_FIRSTLINE",
    "READING_CHUNK_LENGTH",
    "READING_CHUNK_EXTENSION",
    "READING_CHUNK_DATA",
    "READING_CHUNK_TERM",
    "READING_LAST_CHUNK_TERM",
    "READING_TRAILER",
    "READING_UNTIL_CLOSE",
    "READING_CONTENT",
    "MESSAGE_FULLY_READ",
};

const char* const kErrorNames[] = {
    "NO_ERROR",
    "NO_STATUS_LINE_IN_RESPONSE",
    "NO_REQUEST_LINE_IN_REQUEST",
    "FAILED_TO_FIND_WS_AFTER_RESPONSE_VERSION",
    "FAILED_TO_FIND_WS_AFTER_REQUEST_METHOD",
    "FAILED_TO_FIND_WS_AFTER_RESPONSE_STATUSCODE",
    "FAILED_TO_FIND_WS_AFTER_REQUEST_REQUEST_URI",
    "FAILED_TO_FIND_NL_AFTER_RESPONSE_REASON_PHRASE",
    "FAILED_TO_FIND_NL_AFTER_REQUEST_HTTP_VERSION",
    "PARSE_VERSION_IN_RESPONSE_FAILED",
    "PARSE_STATUS_IN_RESPONSE_FAILED",
    "READ_GENERAL_HEADER_KEY_FAILE",
    "READ_GENERAL_HEADER_VALUE_FAILED",
    "FAILED_CONVERTING_STATUS_CODE_TO_INT",
    "REQUEST_URI_TOO_LONG",
    "HEADERS_TOO_LONG",
    "UNPARSABLE_CONTENT_LENGTH",
    "MAYBE_BODY_BUT_NO_CONTENT_LENGTH",
    "REQUIRED_BODY_BUT_NO_CONTENT_LENGTH",
    "HEADER_MISSING_COLON",
    "INVALID_CHUNK_LENGTH",
    "CHUNK_LENGTH_OVERFLOW",
    "CALLED_BYTES_SPLICED_WHEN_UNSAFE_TO_DO_SO",
    "CALLED_BYTES_SPLICED_AND_EXCEEDED_SAFE_SPLICE_AMOUNT",
    "MULTIPLE_CONTENT_LENGTH_KEYS",
    "MULTIPLE_TRANSFER_ENCODING_KEYS",
    "UNKNOWN_TRANSFER_ENCODING",
    "INVALID_HEADER_FORMAT",
    "INTERNAL_LOGIC_ERROR",
};

// Chunk-size line bytes: hex digits carry their value, the rest is a delimiter or invalid.
const signed char kChunkDelimiter = -1;
const signed char kChunkInvalid = -2;

struct ChunkClassTable {
  signed char entry[256];
  ChunkClassTable() {
    for (int c = 0; c < 256; ++c)
      entry[c] = kChunkInvalid;
    for (int c = '0'; c <= '9'; ++c)
      entry[c] = static_cast<signed char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
      entry[c] = static_cast<signed char>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
      entry[c] = static_cast<signed char>(c - 'A' + 10);
    entry[static_cast<unsigned char>('\t')] = kChunkDelimiter;
    entry[static_cast<unsigned char>('\n')] = kChunkDelimiter;
    entry[static_cast<unsigned char>('\r')] = kChunkDelimiter;
    entry[static_cast<unsigned char>(' ')] = kChunkDelimiter;
    entry[static_cast<unsigned char>(';')] = kChunkDelimiter;
  }
};
const ChunkClassTable kChunkClass;

// Sizes above this cannot take another hex digit within 32 bits.
const size_t kMaxChunkSizeBeforeDigit = 0x0FFFFFFF;

// A CR that ended an earlier input but turned out to belong to a chunk extension.
const char kCarriageReturn[] = "\r";

// CR LF CR LF as four bytes, the newest lowest.
const uint32_t kHeaderTerminator = 0x0D0A0D0Au;

// Inputs up to this size are handled byte by byte instead of with library calls.
const size_t kShortInput = 16;

// The configuration record lives for the whole process; reading its level through a cached
// pointer keeps the per-call check cheap when the frame is fed tiny pieces.
inline bool DebugLogging() {
  static const ProxyConfig* const config = GetProxyConfig();
  return config->log_level_ > 1;
}

inline bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

// First CR or LF in [p, end), or end.
inline const char* FindLineEnd(const char* p, const char* end) {
  const char* cr = static_cast<const char*>(memchr(p, '\r', static_cast<size_t>(end - p)));
  const char* stop = cr != nullptr ? cr : end;
  const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(stop - p)));
  return lf != nullptr ? lf : stop;
}

// The characters of an HTTP token (a header name).
bool IsTokenChar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
    return true;
  return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(const char* text) {
  if (*text == '\0')
    return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (!IsTokenChar(*p))
      return false;
  }
  return true;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

int ClampToInt(long v) {
  if (v > INT_MAX)
    return INT_MAX;
  if (v < INT_MIN)
    return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

BalsaFrame::BalsaFrame()
    : chunk_digit_seen_(false),
      is_request_(true),
      request_was_head_(false),
      max_header_length_(kDefaultMaxHeaderLength),
      visitor_(&default_visitor_),
      chunk_length_remaining_(0),
      content_length_remaining_(0),
      term_chars_(0),
      parse_state_(READING_HEADER_AND_FIRSTLINE),
      last_error_(NO_ERROR),
      header_length_(0),
      // Taken with the first bytes (TakeHeaderStorage): a client that has sent nothing yet
      // holds no header buffer.
      header_buffer_(nullptr),
      headers_(new HttpHeaderList()),
      content_length_(0),
      content_length_status_(NO_CONTENT_LENGTH),
      transfer_encoding_is_chunked_(false),
      parsed_response_code_(0),
      extension_cr_pending_(false),
      header_tail_(0),
      header_storage_(nullptr) {}

void BalsaFrame::TakeHeaderStorage() {
  if (header_buffer_ == nullptr)
    header_buffer_ = new LinearByteBuffer(static_cast<int>(max_header_length_));
  int room = 0;
  header_buffer_->GetWritableRegion(&header_storage_, &room);
}

BalsaFrame::~BalsaFrame() {
  delete header_buffer_;
  delete headers_;
}

const char* BalsaFrame::ParseStateToString(BalsaFrameEnums::ParseState state) {
  const int index = static_cast<int>(state);
  if (index < 0 ||
      index >= static_cast<int>(sizeof(kParseStateNames) / sizeof(kParseStateNames[0])))
    return "UNKNOWN_STATE";
  return kParseStateNames[index];
}

const char* BalsaFrame::ErrorCodeToString(BalsaFrameEnums::ErrorCode code) {
  const int index = static_cast<int>(code);
  if (index < 0 || index >= static_cast<int>(sizeof(kErrorNames) / sizeof(kErrorNames[0])))
    return "UNKNOWN_ERROR";
  return kErrorNames[index];
}

void BalsaFrame::Reset() {
  chunk_digit_seen_ = false;
  chunk_length_remaining_ = 0;
  content_length_remaining_ = 0;
  term_chars_ = 0;
  last_error_ = NO_ERROR;
  header_length_ = 0;
  parse_state_ = READING_HEADER_AND_FIRSTLINE;
  // Storage is reused; a list that grew goes back to its initial size.
  headers_->Clear();
  if (header_buffer_ != nullptr &&
      static_cast<size_t>(header_buffer_->Capacity()) != max_header_length_) {
    delete header_buffer_;
    header_buffer_ = nullptr;
  } else if (header_buffer_ != nullptr) {
    header_buffer_->Clear();
  }
  content_length_status_ = NO_CONTENT_LENGTH;
  content_length_ = 0;
  transfer_encoding_is_chunked_ = false;
  parsed_response_code_ = 0;
  extension_cr_pending_ = false;
  header_tail_ = 0;
  header_storage_ = nullptr;
  if (header_buffer_ != nullptr)
    TakeHeaderStorage();
}

size_t BalsaFrame::ProcessInput(const char* data, size_t len) {
  if (header_storage_ == nullptr)
    TakeHeaderStorage();
  if (DebugLogging())
    QV_LOGD(kTag, "==============%s==============", ParseStateToString(parse_state_));
  if (parse_state_ == READING_HEADER_AND_FIRSTLINE && len <= kShortInput &&
      header_length_ + len < max_header_length_) {
    // A small piece of the header block: copy and search in one pass.
    char* out = header_storage_ + header_length_;
    uint32_t window = header_tail_;
    for (size_t i = 0; i < len; ++i) {
      out[i] = data[i];
      window = (window << 8) | static_cast<unsigned char>(data[i]);
      if (window == kHeaderTerminator) {
        header_tail_ = window;
        header_length_ += i + 1;
        CompleteHeaderBlock();
        if (parse_state_ == PARSE_ERROR)
          QV_LOGW(kTag, "%s", ErrorCodeToString(last_error_));
        return i + 1;
      }
    }
    header_tail_ = window;
    header_length_ += len;
    return len;
  }

  size_t consumed = 0;
  if (parse_state_ == READING_HEADER_AND_FIRSTLINE) {
    consumed = ProcessHeaderPhase(data, len);
  } else if (parse_state_ != MESSAGE_FULLY_READ && parse_state_ != PARSE_ERROR) {
    consumed = ProcessBody(data, len);
  }
  if (parse_state_ == PARSE_ERROR)
    QV_LOGW(kTag, "%s", ErrorCodeToString(last_error_));
  return consumed;
}

bool BalsaFrame::HeaderError(BalsaFrameEnums::ErrorCode code) {
  parse_state_ = PARSE_ERROR;
  last_error_ = code;
  visitor_->HandleHeaderError(this);
  return false;
}

void BalsaFrame::ChunkingError(BalsaFrameEnums::ErrorCode code) {
  parse_state_ = PARSE_ERROR;
  last_error_ = code;
  visitor_->HandleChunkingError(this);
}

long BalsaFrame::FindHeaderEnd(const char* data, size_t len) {
  // Every earlier byte was already examined as a possible final LF; only the new ones can be.
  // The bytes before `data` come from the tail of what earlier calls buffered.
  const char* p = data;
  const char* end = data + len;
  while (p < end) {
    const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (lf == nullptr)
      return -1;
    const size_t i = static_cast<size_t>(lf - data);
    uint32_t before;
    if (i >= 3) {
      before = static_cast<uint32_t>(static_cast<unsigned char>(data[i - 3])) << 16 |
               static_cast<uint32_t>(static_cast<unsigned char>(data[i - 2])) << 8 |
               static_cast<unsigned char>(data[i - 1]);
    } else {
      before = header_tail_;
      for (size_t k = 0; k < i; ++k)
        before = (before << 8) | static_cast<unsigned char>(data[k]);
    }
    if (((before << 8) | '\n') == kHeaderTerminator)
      return static_cast<long>(header_length_ + i);
    p = lf + 1;
  }
  return -1;
}

size_t BalsaFrame::ProcessHeaderPhase(const char* data, size_t len) {
  if (header_length_ > max_header_length_ || (header_length_ == max_header_length_ && len > 0)) {
    HeaderError(HEADERS_TOO_LONG);
    return 0;
  }
  const size_t n = std::min(len, max_header_length_ - header_length_);
  // The block goes straight into the buffer's writable region, which cannot move during the
  // header phase (it never outgrows the limit); it is committed once the phase ends.
  size_t take = n;
  const long end_index = FindHeaderEnd(data, n);
  if (end_index >= 0)
    take = static_cast<size_t>(end_index) + 1 - header_length_;
  if (take > 0)
    memcpy(header_storage_ + header_length_, data, take);
  for (size_t i = take >= 4 ? take - 4 : 0; i < take; ++i)
    header_tail_ = (header_tail_ << 8) | static_cast<unsigned char>(data[i]);
  header_length_ += take;

  if (end_index >= 0) {
    CompleteHeaderBlock();
  } else if (header_length_ >= max_header_length_) {
    header_buffer_->Commit(static_cast<int>(header_length_));
    HeaderError(HEADERS_TOO_LONG);
  }
  return take;
}

void BalsaFrame::CompleteHeaderBlock() {
  // Bytes after the block stay with the caller, who offers them again for the body.
  header_buffer_->Commit(static_cast<int>(header_length_));
  const char* const block_end = header_storage_ + header_length_;
  // A NUL or a lone CR in the header lines would otherwise be parsed as a line of its own or
  // run two lines together; judged before the lines are. The first line keeps its own errors.
  const char* lines = static_cast<const char*>(memchr(header_storage_, '\n', header_length_));
  if (lines != nullptr && !BareControlFree(lines + 1, block_end)) {
    HeaderError(INVALID_HEADER_FORMAT);
    return;
  }
  if (!ParseHeaderBlock(header_storage_, block_end))
    return;
  if (!CheckHead(header_storage_, block_end))
    return;
  headers_->SortByKey();
  visitor_->ProcessHeaders(*headers_);
  DecideBody();
  if (parse_state_ == MESSAGE_FULLY_READ)
    visitor_->MessageDone();
}

bool BalsaFrame::ParseHeaderBlock(const char* p, const char* end) {
  bool first_line_read = false;
  for (;;) {
    while (p < end && IsLineEnd(*p))
      ++p;
    if (p == end) {
      if (first_line_read)
        return true;
      // Nothing but line ends: there is no message to report.
      return HeaderError(is_request_ ? NO_REQUEST_LINE_IN_REQUEST : NO_STATUS_LINE_IN_RESPONSE);
    }
    if (!first_line_read) {
      if (!ParseFirstLine(&p, end))
        return false;
      first_line_read = true;
    } else if (!ParseHeaderLine(&p, end)) {
      return false;
    }
  }
}

bool BalsaFrame::ParseFirstLine(const char** cursor, const char* end) {
  const char* p = *cursor;
  // The first token must end with a blank on the first line itself.
  const char* token = p;
  const char* token_limit = token + std::min(static_cast<size_t>(end - token), kMaxTokenLength);
  while (p < token_limit && *p != ' ' && !IsLineEnd(*p))
    ++p;
  if (p == token_limit || *p != ' ')
    return HeaderError(PARSE_VERSION_IN_RESPONSE_FAILED);
  headers_->AppendHeader("method", 6, token, static_cast<size_t>(p - token));
  headers_->AppendHeader("version", 7, "HTTP/1.1", 8);

  while (p < end && *p == ' ')
    ++p;
  token = p;
  token_limit = token + std::min(static_cast<size_t>(end - token), kMaxTokenLength);
  while (p < token_limit && *p != ' ' && !IsLineEnd(*p))
    ++p;
  if (p == token_limit)
    return HeaderError(PARSE_STATUS_IN_RESPONSE_FAILED);
  const size_t token_len = static_cast<size_t>(p - token);
  p = FindLineEnd(p, end);
  if (p == end)
    return HeaderError(PARSE_STATUS_IN_RESPONSE_FAILED);
  headers_->AppendHeader("url", 3, token, token_len);
  const HttpHeaderLine& url = *(headers_->end() - 1);
  parsed_response_code_ = ClampToInt(strtol(url.value, nullptr, 10));
  *cursor = p;
  return true;
}

bool BalsaFrame::ParseHeaderLine(const char** cursor, const char* end) {
  const char* key = *cursor;
  // A line without a colon runs on into the next one.
  const size_t key_window = std::min(static_cast<size_t>(end - key), kMaxKeyLength);
  const char* colon = static_cast<const char*>(memchr(key, ':', key_window));
  if (colon == nullptr)
    return HeaderError(READ_GENERAL_HEADER_KEY_FAILE);

  const char* p = colon + 1;
  while (p < end && *p == ' ')
    ++p;
  const char* value = p;
  const char* value_limit = value + std::min(static_cast<size_t>(end - value), kMaxTokenLength);
  p = FindLineEnd(value, value_limit);
  if (p == value_limit)
    return HeaderError(READ_GENERAL_HEADER_VALUE_FAILED);

  headers_->AppendHeader(key, static_cast<size_t>(colon - key), value,
                         static_cast<size_t>(p - value));
  // Judge the line as stored (key lower-cased, texts up to any NUL), as its readers see it.
  const HttpHeaderLine& line = *(headers_->end() - 1);
  if (line.key[0] == 't' && strcmp(line.key, "transfer-encoding") == 0) {
    // Blanks after the value are not part of it, for the framing check as here.
    size_t n = strlen(line.value);
    while (n > 0 && IsBlank(line.value[n - 1]))
      --n;
    if (n == 7 && strncasecmp(line.value, "chunked", 7) == 0) {
      transfer_encoding_is_chunked_ = true;
      content_length_ = 0;
      content_length_remaining_ = 0;
    }
  } else if (line.key[0] == 'c' && strcmp(line.key, "content-length") == 0) {
    errno = 0;
    const long v = strtol(line.value, nullptr, 10);
    // A length beyond the range of long would otherwise be taken as its clamped value.
    if (v < 0 || errno == ERANGE) {
      content_length_status_ = CONTENT_LENGTH_ERROR;
    } else {
      content_length_status_ = VALID_CONTENT_LENGTH;
      content_length_ = static_cast<size_t>(v);
      content_length_remaining_ = content_length_;
      transfer_encoding_is_chunked_ = false;
    }
  }
  *cursor = p;
  return true;
}

bool BalsaFrame::IsRefusedHead(BalsaFrameEnums::ErrorCode code) {
  return code == INVALID_HEADER_FORMAT || code == UNPARSABLE_CONTENT_LENGTH ||
         code == MULTIPLE_CONTENT_LENGTH_KEYS || code == MULTIPLE_TRANSFER_ENCODING_KEYS ||
         code == UNKNOWN_TRANSFER_ENCODING;
}

bool BalsaFrame::ParsePlainLength(const char* text, size_t* length) {
  const char* p = text;
  while (IsBlank(*p))
    ++p;
  const char* digits = p;
  unsigned long long value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > static_cast<unsigned long long>(LONG_MAX))
      return false;
    ++p;
  }
  if (p == digits)
    return false;
  while (IsBlank(*p))
    ++p;
  if (*p != '\0')
    return false;
  *length = static_cast<size_t>(value);
  return true;
}

bool BalsaFrame::BareControlFree(const char* p, const char* end) {
  // A NUL would cut a name or value short for every reader that takes them as texts; a CR
  // that does not end a line is a line end to some readers and text to others.
  if (memchr(p, '\0', static_cast<size_t>(end - p)) != nullptr)
    return false;
  for (const char* cr = p;
       (cr = static_cast<const char*>(memchr(cr, '\r', static_cast<size_t>(end - cr)))) != nullptr;
       ++cr) {
    if (cr + 1 == end || cr[1] != '\n')
      return false;
  }
  return true;
}

bool BalsaFrame::CheckHead(const char* block, const char* end) {
  if (!BareControlFree(block, end))
    return HeaderError(INVALID_HEADER_FORMAT);
  bool have_length = false;
  size_t length = 0;
  int codings = 0;
  bool chunked = false;
  // The first three lines are the request line's own entries.
  int index = 0;
  for (const HttpHeaderLine& line : *headers_) {
    if (index++ < 3)
      continue;
    if (!IsToken(line.key))
      return HeaderError(INVALID_HEADER_FORMAT);
    if (strcmp(line.key, "content-length") == 0) {
      size_t v = 0;
      if (!ParsePlainLength(line.value, &v))
        return HeaderError(UNPARSABLE_CONTENT_LENGTH);
      if (have_length && v != length)
        return HeaderError(MULTIPLE_CONTENT_LENGTH_KEYS);
      have_length = true;
      length = v;
    } else if (strcmp(line.key, "transfer-encoding") == 0) {
      ++codings;
      const char* v = line.value;
      size_t n = strlen(v);
      while (n > 0 && IsBlank(v[n - 1]))
        --n;
      chunked = n == 7 && strncasecmp(v, "chunked", 7) == 0;
    }
  }
  if (codings > 1)
    return HeaderError(MULTIPLE_TRANSFER_ENCODING_KEYS);
  if (codings == 1 && !chunked)
    return HeaderError(UNKNOWN_TRANSFER_ENCODING);
  // Content-Length beside Transfer-Encoding: the two framings disagree about where the body ends.
  if (codings == 1 && have_length)
    return HeaderError(INVALID_HEADER_FORMAT);
  return true;
}

void BalsaFrame::DecideBody() {
  parse_state_ = MESSAGE_FULLY_READ;
  const int code = parsed_response_code_;
  if (request_was_head_ || (code >= 100 && code <= 199) || code == 204 || code == 304)
    return;
  if (transfer_encoding_is_chunked_) {
    parse_state_ = READING_CHUNK_LENGTH;
    return;
  }
  switch (content_length_status_) {
    case VALID_CONTENT_LENGTH:
      if (content_length_ > 0)
        parse_state_ = READING_CONTENT;
      return;
    case CONTENT_LENGTH_ERROR:
      HeaderError(UNPARSABLE_CONTENT_LENGTH);
      return;
    case NO_CONTENT_LENGTH:
      if (is_request_) {
        HttpHeaderList::const_iterator method = headers_->Lookup("method");
        if (method != headers_->end() &&
            (strncmp(method->value, "POST", 4) == 0 || strncmp(method->value, "PUT", 3) == 0)) {
          QV_LOGD(kTag, "findmethod = true");
          HeaderError(REQUIRED_BODY_BUT_NO_CONTENT_LENGTH);
        }
      } else {
        parse_state_ = READING_UNTIL_CLOSE;
        last_error_ = MAYBE_BODY_BUT_NO_CONTENT_LENGTH;
        visitor_->HandleHeaderWarning(this);
      }
      return;
  }
  QV_LOGW(kTag, "Saw a content_length_status: which is unknown.");
}

bool BalsaFrame::FeedTerminator(char c) {
  if (!IsLineEnd(c)) {
    term_chars_ = 0;
    return false;
  }
  term_chars_ = (term_chars_ << 8) | static_cast<unsigned char>(c);
  if ((term_chars_ & 0xFFFFFFu) == 0x0A0D0Au || (term_chars_ & 0xFFFFu) == 0x0A0Au) {
    term_chars_ = 0;
    return true;
  }
  return false;
}

size_t BalsaFrame::ProcessBody(const char* data, size_t len) {
  const char* p = data;
  const char* const end = data + len;
  // Start of the consumed body bytes not yet reported as raw input.
  const char* raw = data;
  auto report_raw = [&]() {
    if (p > raw)
      visitor_->ProcessBodyInput(raw, static_cast<size_t>(p - raw));
    raw = p;
  };

  // Input that falls entirely inside the current chunk or content: the usual case when the
  // body comes in small pieces, served without walking the state machine.
  if (parse_state_ == READING_CHUNK_DATA && len < chunk_length_remaining_ && len > 0) {
    visitor_->ProcessBodyInput(data, len);
    visitor_->ProcessBodyData(data, len);
    chunk_length_remaining_ -= len;
    return len;
  }
  if (parse_state_ == READING_CONTENT && len < content_length_remaining_ && len > 0) {
    if (DebugLogging())
      QV_LOGD(kTag, "ReadingContent:  %zd", static_cast<ssize_t>(content_length_remaining_));
    visitor_->ProcessBodyInput(data, len);
    visitor_->ProcessBodyData(data, len);
    content_length_remaining_ -= len;
    return len;
  }

  while (p < end) {
    switch (parse_state_) {
      case READING_CONTENT: {
        if (DebugLogging())
          QV_LOGD(kTag, "ReadingContent:  %zd", static_cast<ssize_t>(content_length_remaining_));
        const size_t n = std::min(static_cast<size_t>(end - p), content_length_remaining_);
        const char* body = p;
        p += n;
        report_raw();
        visitor_->ProcessBodyData(body, n);
        content_length_remaining_ -= n;
        if (content_length_remaining_ == 0) {
          parse_state_ = MESSAGE_FULLY_READ;
          visitor_->MessageDone();
          return static_cast<size_t>(p - data);
        }
        break;
      }

      case READING_UNTIL_CLOSE: {
        const char* body = p;
        p = end;
        report_raw();
        visitor_->ProcessBodyData(body, static_cast<size_t>(end - body));
        break;
      }

      case READING_CHUNK_LENGTH: {
        while (p < end) {
          const signed char cls = kChunkClass.entry[static_cast<unsigned char>(*p)];
          if (cls >= 0) {
            chunk_digit_seen_ = true;
            if (chunk_length_remaining_ > kMaxChunkSizeBeforeDigit) {
              ++p;
              report_raw();
              ChunkingError(CHUNK_LENGTH_OVERFLOW);
              return static_cast<size_t>(p - data);
            }
            chunk_length_remaining_ = chunk_length_remaining_ * 16 + static_cast<size_t>(cls);
            ++p;
            continue;
          }
          if (cls == kChunkDelimiter && chunk_digit_seen_) {
            // The delimiter opens the extension text.
            visitor_->ProcessChunkLength(chunk_length_remaining_);
            parse_state_ = READING_CHUNK_EXTENSION;
            break;
          }
          ++p;
          report_raw();
          ChunkingError(INVALID_CHUNK_LENGTH);
          return static_cast<size_t>(p - data);
        }
        break;
      }

      case READING_CHUNK_EXTENSION: {
        if (extension_cr_pending_) {
          extension_cr_pending_ = false;
          if (*p == '\n') {
            ++p;
            goto extension_done;
          }
          visitor_->ProcessChunkExtensions(kCarriageReturn, 1);
        }
        {
          const char* start = p;
          const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
          const char* stop = lf != nullptr ? lf : end;
          if (stop > start && stop[-1] == '\r') {
            --stop;
            // Without the LF yet, this CR may still turn out to be text.
            if (lf == nullptr)
              extension_cr_pending_ = true;
          }
          if (stop > start)
            visitor_->ProcessChunkExtensions(start, static_cast<size_t>(stop - start));
          if (lf == nullptr) {
            p = end;
            break;
          }
          p = lf + 1;
        }
      extension_done:
        chunk_digit_seen_ = false;
        if (chunk_length_remaining_ != 0) {
          parse_state_ = READING_CHUNK_DATA;
        } else {
          FeedTerminator('\n');
          parse_state_ = READING_LAST_CHUNK_TERM;
        }
        break;
      }

      case READING_CHUNK_DATA: {
        const size_t n = std::min(static_cast<size_t>(end - p), chunk_length_remaining_);
        const char* body = p;
        p += n;
        report_raw();
        visitor_->ProcessBodyData(body, n);
        chunk_length_remaining_ -= n;
        if (chunk_length_remaining_ == 0)
          parse_state_ = READING_CHUNK_TERM;
        break;
      }

      case READING_CHUNK_TERM: {
        const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (lf == nullptr) {
          p = end;
          break;
        }
        p = lf + 1;
        chunk_length_remaining_ = 0;
        parse_state_ = READING_CHUNK_LENGTH;
        break;
      }

      case READING_LAST_CHUNK_TERM: {
        while (p < end) {
          const char c = *p;
          if (FeedTerminator(c)) {
            ++p;
            parse_state_ = MESSAGE_FULLY_READ;
            report_raw();
            visitor_->MessageDone();
            return static_cast<size_t>(p - data);
          }
          if (!IsLineEnd(c)) {
            report_raw();
            parse_state_ = READING_TRAILER;
            break;
          }
          ++p;
        }
        break;
      }

      case READING_TRAILER: {
        const char* start = p;
        while (p < end) {
          if (FeedTerminator(*p++)) {
            parse_state_ = MESSAGE_FULLY_READ;
            visitor_->ProcessTrailerInput(start, static_cast<size_t>(p - start));
            raw = p;
            visitor_->MessageDone();
            return static_cast<size_t>(p - data);
          }
        }
        visitor_->ProcessTrailerInput(start, static_cast<size_t>(p - start));
        // Trailer bytes are not body input.
        raw = p;
        break;
      }

      default:
        // Not a body state: nothing more to take.
        report_raw();
        return static_cast<size_t>(p - data);
    }
  }
  report_raw();
  return static_cast<size_t>(p - data);
}
