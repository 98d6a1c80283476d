// PNG files of 8-bit RGBA pictures: written with zlib, read back for picture comparisons.
#ifndef TOOLS_VELLIX_DEMO_PNG_IMAGE_H
#define TOOLS_VELLIX_DEMO_PNG_IMAGE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace vellix_demo {

struct PngImage {
  int width = 0;
  int height = 0;
  // width x height x 4 bytes, R G B A, top row first.
  std::vector<uint8_t> rgba;

  // Writes RGBA (or RGB when `alpha` is false). False on a write error.
  bool Write(std::string const& path, bool alpha = true) const;
  // Reads 8-bit RGB or RGBA, any filter, not interlaced. False for anything else.
  bool Read(std::string const& path);
};

}  // namespace vellix_demo

#endif  // TOOLS_VELLIX_DEMO_PNG_IMAGE_H
