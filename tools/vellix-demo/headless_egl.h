// An OpenGL ES 2.0 context with a depth buffer on a pbuffer, current on the calling thread:
// Mesa's surfaceless platform when it is there, else the default display.
#ifndef TOOLS_VELLIX_DEMO_HEADLESS_EGL_H
#define TOOLS_VELLIX_DEMO_HEADLESS_EGL_H

#include <EGL/egl.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace vellix_demo {

class HeadlessEgl {
 public:
  HeadlessEgl() = default;
  ~HeadlessEgl();
  HeadlessEgl(HeadlessEgl const&) = delete;
  HeadlessEgl& operator=(HeadlessEgl const&) = delete;

  bool Start(int width, int height);
  std::string const& error() const { return error_; }
  // The surface as RGBA bytes, top row first.
  std::vector<uint8_t> Read() const;
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  EGLDisplay display_ = EGL_NO_DISPLAY;
  EGLContext context_ = EGL_NO_CONTEXT;
  EGLSurface surface_ = EGL_NO_SURFACE;
  int width_ = 0;
  int height_ = 0;
  std::string error_;
};

}  // namespace vellix_demo

#endif  // TOOLS_VELLIX_DEMO_HEADLESS_EGL_H
