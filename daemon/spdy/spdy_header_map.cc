#include "spdy/spdy_header_map.h"

#include <string.h>

#include "spdy/frame_builder.h"

bool SpdyHeaderNameLess::operator()(const std::string& a, const std::string& b) const {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  int c = n == 0 ? 0 : memcmp(a.data(), b.data(), n);
  if (c != 0)
    return c < 0;
  return a.size() < b.size();
}

size_t GetHeaderBlockSize(const SpdyHeaderMap& headers) {
  size_t total = 2;
  for (const auto& pair : headers)
    total += 4 + pair.first.size() + pair.second.size();
  return total;
}

bool WriteHeaderBlock(FrameBuilder* builder, const SpdyHeaderMap& headers) {
  if (headers.size() > 0xffff)
    return false;
  if (!builder->WriteUInt16(static_cast<uint16_t>(headers.size())))
    return false;
  for (const auto& pair : headers) {
    if (!builder->WriteString(pair.first) || !builder->WriteString(pair.second))
      return false;
  }
  return true;
}

bool ParseHeaderBlock(const char* data, size_t len, SpdyHeaderMap* headers) {
  FrameBuilder reader(data, len);
  const char* cursor = nullptr;
  uint16_t count;
  if (!reader.ReadUInt16(&cursor, &count))
    return false;
  for (uint16_t i = 0; i < count; ++i) {
    std::string name;
    std::string value;
    if (!reader.ReadString(&cursor, &name) || !reader.ReadString(&cursor, &value))
      return false;
    if (headers->find(name) != headers->end())
      return false;
    headers->emplace(std::move(name), std::move(value));
  }
  return true;
}
