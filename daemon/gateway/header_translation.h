#ifndef DAEMON_GATEWAY_HEADER_TRANSLATION_H
#define DAEMON_GATEWAY_HEADER_TRANSLATION_H

#include <string>

#include "spdy/spdy_header_map.h"

class HttpHeaderList;

// The headers between HTTP/1.1 and the gateway's SPDY streams, both ways: a request's header
// lines become its SYN_STREAM's header map, a SYN_REPLY's header map becomes the client's
// response head.
class HeaderTranslation {
 public:
  // The request's header map as it goes to the gateway. `headers` is sorted by key.
  static void BuildHeaderMap(const HttpHeaderList& headers, const std::string& img_tag,
                             int image_level, SpdyHeaderMap* map);
  // Reply header map to an HTTP/1.1 response head that closes the connection after it. Fails,
  // saying why in `problem` (when given), when "status" or "version" is missing or holds a line
  // break, or when content-length values differ. Removes the transfer-encoding and connection
  // entries from `headers` in any letter case, adds "connection: close", writes one
  // content-length line, and leaves out (with a WARN) any other header whose name is empty or
  // holds NUL or ':', or whose name or value holds a line break.
  static bool SpdyHeadersToHttpResponse(SpdyHeaderMap* headers, std::string* head,
                                        std::string* source_len, std::string* compressed_len,
                                        std::string* problem = nullptr);
};

#endif  // DAEMON_GATEWAY_HEADER_TRANSLATION_H
