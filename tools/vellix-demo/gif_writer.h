// An animated GIF (GIF89a, looping) of RGBA frames: one fixed 252-colour palette (6 x 7 x 6
// levels of red, green, blue) with ordered dithering, LZW-coded.
#ifndef TOOLS_VELLIX_DEMO_GIF_WRITER_H
#define TOOLS_VELLIX_DEMO_GIF_WRITER_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace vellix_demo {

class GifWriter {
 public:
  GifWriter();
  ~GifWriter();
  GifWriter(GifWriter const&) = delete;
  GifWriter& operator=(GifWriter const&) = delete;

  bool Open(std::string const& path, int width, int height);
  // rgba: width x height x 4 bytes, top row first; delay in hundredths of a second.
  bool AddFrame(std::vector<uint8_t> const& rgba, int delayCentiseconds);
  // Writes the trailer; false when any write failed.
  bool Close();

 private:
  void Byte(int b);
  void Word(int w);
  void Lzw(std::vector<uint8_t> const& indices);

  FILE* file_;
  int width_;
  int height_;
  bool ok_;
};

}  // namespace vellix_demo

#endif  // TOOLS_VELLIX_DEMO_GIF_WRITER_H
