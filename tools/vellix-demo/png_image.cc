#include "png_image.h"

#include <stdio.h>
#include <stdlib.h>
#include <zlib.h>

#include <algorithm>

namespace vellix_demo {

namespace {

void Put32(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v >> 24));
  out->push_back(static_cast<uint8_t>(v >> 16));
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

uint32_t Get32(uint8_t const* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void Chunk(std::vector<uint8_t>* out, char const* type, std::vector<uint8_t> const& data) {
  Put32(out, static_cast<uint32_t>(data.size()));
  size_t start = out->size();
  out->insert(out->end(), type, type + 4);
  out->insert(out->end(), data.begin(), data.end());
  uLong crc = crc32(0L, out->data() + start, static_cast<uInt>(out->size() - start));
  Put32(out, static_cast<uint32_t>(crc));
}

uint8_t const kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

int Paeth(int a, int b, int c) {
  int p = a + b - c;
  int pa = abs(p - a);
  int pb = abs(p - b);
  int pc = abs(p - c);
  if (pa <= pb && pa <= pc)
    return a;
  return pb <= pc ? b : c;
}

}  // namespace

bool PngImage::Write(std::string const& path, bool alpha) const {
  if (width <= 0 || height <= 0 || rgba.size() != static_cast<size_t>(width) * height * 4)
    return false;
  int const channels = alpha ? 4 : 3;
  // Each row: filter "Up" (the difference to the row above) compresses page pictures well.
  size_t const rowBytes = static_cast<size_t>(width) * channels;
  std::vector<uint8_t> raw;
  raw.reserve((rowBytes + 1) * height);
  std::vector<uint8_t> prev(rowBytes, 0);
  std::vector<uint8_t> row(rowBytes);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c)
        row[static_cast<size_t>(x) * channels + c] =
            rgba[(static_cast<size_t>(y) * width + x) * 4 + c];
    }
    raw.push_back(2);
    for (size_t i = 0; i < rowBytes; ++i)
      raw.push_back(static_cast<uint8_t>(row[i] - prev[i]));
    prev.swap(row);
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK)
    return false;
  packed.resize(packedSize);

  std::vector<uint8_t> out(kSignature, kSignature + 8);
  std::vector<uint8_t> ihdr;
  Put32(&ihdr, static_cast<uint32_t>(width));
  Put32(&ihdr, static_cast<uint32_t>(height));
  ihdr.push_back(8);
  ihdr.push_back(alpha ? 6 : 2);
  ihdr.push_back(0);
  ihdr.push_back(0);
  ihdr.push_back(0);
  Chunk(&out, "IHDR", ihdr);
  Chunk(&out, "IDAT", packed);
  Chunk(&out, "IEND", {});
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr)
    return false;
  bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
  return fclose(f) == 0 && ok;
}

bool PngImage::Read(std::string const& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr)
    return false;
  std::vector<uint8_t> file;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
    file.insert(file.end(), buf, buf + n);
  fclose(f);
  if (file.size() < 8 || !std::equal(kSignature, kSignature + 8, file.begin()))
    return false;
  int channels = 0;
  std::vector<uint8_t> packed;
  for (size_t at = 8; at + 12 <= file.size();) {
    uint32_t len = Get32(&file[at]);
    if (len > file.size() - at - 12)
      return false;
    std::string type(reinterpret_cast<char const*>(&file[at + 4]), 4);
    uint8_t const* data = &file[at + 8];
    if (type == "IHDR") {
      if (len < 13)
        return false;
      width = static_cast<int>(Get32(data));
      height = static_cast<int>(Get32(data + 4));
      if (data[8] != 8 || (data[9] != 2 && data[9] != 6) || data[12] != 0 || width <= 0 ||
          height <= 0 || width > 16384 || height > 16384)
        return false;
      channels = data[9] == 6 ? 4 : 3;
    } else if (type == "IDAT") {
      packed.insert(packed.end(), data, data + len);
    } else if (type == "IEND") {
      break;
    }
    at += 12 + len;
  }
  if (channels == 0)
    return false;
  size_t const rowBytes = static_cast<size_t>(width) * channels;
  std::vector<uint8_t> raw((rowBytes + 1) * height);
  uLongf rawSize = static_cast<uLongf>(raw.size());
  if (uncompress(raw.data(), &rawSize, packed.data(), static_cast<uLong>(packed.size())) != Z_OK ||
      rawSize != raw.size())
    return false;
  std::vector<uint8_t> prev(rowBytes, 0);
  std::vector<uint8_t> row(rowBytes);
  rgba.assign(static_cast<size_t>(width) * height * 4, 255);
  for (int y = 0; y < height; ++y) {
    uint8_t const* src = &raw[y * (rowBytes + 1)];
    uint8_t filter = src[0];
    ++src;
    for (size_t i = 0; i < rowBytes; ++i) {
      int a = i >= static_cast<size_t>(channels) ? row[i - channels] : 0;
      int b = prev[i];
      int c = i >= static_cast<size_t>(channels) ? prev[i - channels] : 0;
      int v = src[i];
      switch (filter) {
        case 0:
          break;
        case 1:
          v += a;
          break;
        case 2:
          v += b;
          break;
        case 3:
          v += (a + b) / 2;
          break;
        case 4:
          v += Paeth(a, b, c);
          break;
        default:
          return false;
      }
      row[i] = static_cast<uint8_t>(v);
    }
    for (int x = 0; x < width; ++x) {
      for (int ch = 0; ch < channels; ++ch)
        rgba[(static_cast<size_t>(y) * width + x) * 4 + ch] =
            row[static_cast<size_t>(x) * channels + ch];
    }
    prev.swap(row);
  }
  return true;
}

}  // namespace vellix_demo
