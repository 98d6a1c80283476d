// ParseHeaderBlock on arbitrary bytes. A block that parses must encode back to a block of the
// computed size, no longer than the input, that parses to the same map.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "spdy/frame_builder.h"
#include "spdy/spdy_header_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SpdyHeaderMap headers;
  if (!ParseHeaderBlock(reinterpret_cast<const char*>(data), size, &headers))
    return 0;
  FrameBuilder builder(16);
  if (!WriteHeaderBlock(&builder, headers))
    abort();
  if (builder.length() != GetHeaderBlockSize(headers))
    abort();
  if (builder.length() > size)
    abort();
  SpdyHeaderMap again;
  if (!ParseHeaderBlock(builder.data(), builder.length(), &again))
    abort();
  if (again != headers)
    abort();
  return 0;
}
