#include "vellix/book/picture_helper.h"

#include <GLES2/gl2.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

#include "png_image.h"

namespace vellix_test {

std::vector<uint8_t> ReadSurface(int w, int h) {
  std::vector<uint8_t> bottomUp(static_cast<size_t>(w) * h * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, bottomUp.data());
  std::vector<uint8_t> out(bottomUp.size());
  size_t const row = static_cast<size_t>(w) * 4;
  for (int y = 0; y < h; ++y)
    std::copy(bottomUp.begin() + (h - 1 - y) * row, bottomUp.begin() + (h - y) * row,
              out.begin() + y * row);
  return out;
}

uint32_t PixelAt(std::vector<uint8_t> const& rgba, int w, int x, int y) {
  uint8_t const* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

testing::AssertionResult MatchesReference(std::string const& name, int w, int h,
                                          std::vector<uint8_t> const& rgba, int tolerance) {
  std::string const ref = std::string(VELLIX_BOOK_REFERENCES) + "/" + name + ".png";
  vellix_demo::PngImage actual;
  actual.width = w;
  actual.height = h;
  actual.rgba = rgba;
  if (getenv("VELLIX_UPDATE_REFERENCES") != nullptr) {
    if (!actual.Write(ref))
      return testing::AssertionFailure() << "cannot write " << ref;
    return testing::AssertionSuccess() << "rewrote " << ref;
  }
  vellix_demo::PngImage expected;
  if (!expected.Read(ref))
    return testing::AssertionFailure() << "cannot read " << ref;
  int bad = 0;
  int worst = 0;
  if (expected.width == w && expected.height == h) {
    for (size_t i = 0; i < rgba.size(); ++i) {
      int d = abs(static_cast<int>(rgba[i]) - static_cast<int>(expected.rgba[i]));
      worst = std::max(worst, d);
      bad += d > tolerance ? 1 : 0;
    }
    if (bad == 0)
      return testing::AssertionSuccess();
  }
  std::string const out = name + ".actual.png";
  actual.Write(out);
  char cwd[4096];
  std::string where = getcwd(cwd, sizeof(cwd)) != nullptr ? std::string(cwd) + "/" + out : out;
  return testing::AssertionFailure()
         << name << ": " << bad << " channel values differ by more than " << tolerance
         << " (at most " << worst << "), reference " << expected.width << "x" << expected.height
         << ", actual " << w << "x" << h << "; actual picture: " << where;
}

}  // namespace vellix_test
