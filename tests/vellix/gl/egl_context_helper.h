// A headless OpenGL ES 2.0 context for tests, with a small pbuffer read back pixel by pixel.
#ifndef TESTS_VELLIX_GL_EGL_CONTEXT_HELPER_H
#define TESTS_VELLIX_GL_EGL_CONTEXT_HELPER_H

#include <GLES2/gl2.h>
#include <dlfcn.h>
#include <link.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "headless_egl.h"

namespace vellix_test {

// Keeps the loaded GL drivers mapped until the process ends. Unloaded at exit, their globals
// vanish before the leak checker runs, and memory they still point to looks leaked.
inline void PinGLDrivers() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) {
        char const* name = info->dlpi_name;
        if (name != nullptr &&
            (strstr(name, "_dri.so") != nullptr || strstr(name, "libgallium") != nullptr))
          dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        return 0;
      },
      nullptr);
}

class HeadlessGL {
 public:
  // With `depth`, the surface has a 16-bit depth buffer.
  explicit HeadlessGL(int width = 64, int height = 64, bool depth = false) {
    if (!egl_.MakeCurrent(width, height, depth))
      return;
    PinGLDrivers();
    glViewport(0, 0, width, height);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  }

  HeadlessGL(HeadlessGL const&) = delete;
  HeadlessGL& operator=(HeadlessGL const&) = delete;

  // Empty when the context is current.
  std::string const& error() const { return egl_.error(); }

  // Pixel (x, y) of the pbuffer, y from the bottom, as 0xRRGGBBAA.
  uint32_t Pixel(int x, int y) const {
    uint8_t p[4] = {0, 0, 0, 0};
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  }

  int width() const { return egl_.width(); }
  int height() const { return egl_.height(); }

 private:
  vellix_demo::HeadlessEgl egl_;
};

// RGBA bytes of the given 0xRRGGBBAA pixels.
inline std::vector<unsigned char> Rgba(std::vector<uint32_t> const& pixels) {
  std::vector<unsigned char> out;
  for (uint32_t p : pixels) {
    out.push_back(static_cast<unsigned char>(p >> 24));
    out.push_back(static_cast<unsigned char>(p >> 16));
    out.push_back(static_cast<unsigned char>(p >> 8));
    out.push_back(static_cast<unsigned char>(p));
  }
  return out;
}

// Number of live shader and program objects among the first `names` names.
inline int LiveShaderObjects(GLuint names = 512) {
  int live = 0;
  for (GLuint n = 1; n <= names; ++n)
    live += (glIsShader(n) ? 1 : 0) + (glIsProgram(n) ? 1 : 0);
  return live;
}

}  // namespace vellix_test

#endif  // TESTS_VELLIX_GL_EGL_CONTEXT_HELPER_H
