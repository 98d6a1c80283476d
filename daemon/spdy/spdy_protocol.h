#ifndef DAEMON_SPDY_SPDY_PROTOCOL_H
#define DAEMON_SPDY_SPDY_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

// The one protocol version the daemon sends and accepts.
const int kSpdyProtocolVersion = 2;

// Control frame types.
enum SpdyControlType {
  SYN_STREAM = 1,
  SYN_REPLY = 2,
  RST_STREAM = 3,
  SETTINGS = 4,
  NOOP = 5,
  PING = 6,
  GOAWAY = 7,
  HEADERS = 8,
  WINDOW_UPDATE = 9,
  CREDENTIAL = 10,
};

// Control frame flags.
const uint8_t CONTROL_FLAG_NONE = 0;
const uint8_t CONTROL_FLAG_FIN = 0x01;

// Data frame flags.
const uint8_t DATA_FLAG_NONE = 0;
const uint8_t DATA_FLAG_FIN = 0x01;
const uint8_t DATA_FLAG_COMPRESSED = 0x02;

// RST_STREAM status codes (draft 2).
enum SpdyStatusCodes {
  SPDY_INVALID = 0,
  SPDY_PROTOCOL_ERROR = 1,
  SPDY_INVALID_STREAM = 2,
  SPDY_REFUSED_STREAM = 3,
  SPDY_UNSUPPORTED_VERSION_STATUS = 4,
  SPDY_CANCEL = 5,
  SPDY_INTERNAL_ERROR = 6,
  SPDY_FLOW_CONTROL_ERROR = 7,
};

typedef uint32_t SpdyStreamId;

const SpdyStreamId kInvalidStream = 0xffffffffu;
const uint32_t kStreamIdMask = 0x7fffffffu;
const uint32_t kLengthMask = 0x00ffffffu;
const uint16_t kControlFlagMask = 0x8000;

// Largest control frame the framer accepts: 64 KB in total, header included.
const size_t kControlFrameSizeLimit = 65536;

// Fixed part (common header plus fixed fields) of the frames that carry a header block.
const size_t kSynStreamFixedSize = 18;
const size_t kSynReplyFixedSize = 14;
const size_t kHeadersFixedSize = 14;

#endif  // DAEMON_SPDY_SPDY_PROTOCOL_H
