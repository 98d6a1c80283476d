// An OpenGL ES 2.0 context on a pbuffer, current on the calling thread: Mesa's surfaceless
// platform when it is there, else the default display. Shared by the demo, the benchmarks and
// the picture tests (C++ and Java).
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

  // Makes the context current on this thread with a width x height surface. The first call
  // opens the display and makes the context (with a 16-bit depth buffer when `depth`); a later
  // one with another size makes a new surface.
  bool MakeCurrent(int width, int height, bool depth = true);
  // Releases the context from this thread and destroys the surface and the context; the
  // display stays open for the next MakeCurrent.
  void Release();
  std::string const& error() const { return error_; }
  // The surface as RGBA bytes, top row first.
  std::vector<uint8_t> Read() const;
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  bool Open(bool depth);

  EGLDisplay display_ = EGL_NO_DISPLAY;
  EGLConfig config_ = nullptr;
  EGLContext context_ = EGL_NO_CONTEXT;
  EGLSurface surface_ = EGL_NO_SURFACE;
  int width_ = 0;
  int height_ = 0;
  std::string error_;
};

}  // namespace vellix_demo

#endif  // TOOLS_VELLIX_DEMO_HEADLESS_EGL_H
