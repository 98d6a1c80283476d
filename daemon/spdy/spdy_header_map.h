#ifndef DAEMON_SPDY_SPDY_HEADER_MAP_H
#define DAEMON_SPDY_SPDY_HEADER_MAP_H

#include <stddef.h>

#include <map>
#include <memory>
#include <string>

class FrameBuilder;

// Orders names byte by byte as unsigned values, a prefix before its extensions, so that header
// blocks are written the same way whatever the platform's char signedness.
struct SpdyHeaderNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// Name to value, both byte strings; a value may hold NUL bytes (repeated headers).
typedef std::map<std::string, std::string, SpdyHeaderNameLess> SpdyHeaderMap;

// Shared handle: the event adapter creates the map, receivers may keep it.
typedef std::shared_ptr<SpdyHeaderMap> SpdyHeaderMapHandle;

// Encoded size of a header block: 2 + sum of (4 + name length + value length).
size_t GetHeaderBlockSize(const SpdyHeaderMap& headers);

// Appends the block: 16-bit pair count, then per pair in map order a 16-bit length and the
// name, a 16-bit length and the value. Fails (leaving partial output) when the count, a name
// or a value does not fit in 16 bits, or a write is refused.
bool WriteHeaderBlock(FrameBuilder* builder, const SpdyHeaderMap& headers);

// Decodes a complete, decompressed block into `headers`. Fails on a truncated count, length or
// string, and on a name seen twice; bytes after the last pair are ignored.
bool ParseHeaderBlock(const char* data, size_t len, SpdyHeaderMap* headers);

#endif  // DAEMON_SPDY_SPDY_HEADER_MAP_H
