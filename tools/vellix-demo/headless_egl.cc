#include "headless_egl.h"

#include <EGL/eglext.h>
#include <GLES2/gl2.h>

namespace vellix_demo {

HeadlessEgl::~HeadlessEgl() {
  if (display_ == EGL_NO_DISPLAY)
    return;
  Release();
  eglTerminate(display_);
}

bool HeadlessEgl::Open(bool depth) {
  if (display_ == EGL_NO_DISPLAY) {
    auto get_platform_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (get_platform_display != nullptr)
      display_ = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display_ == EGL_NO_DISPLAY)
      display_ = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    if (display_ == EGL_NO_DISPLAY || !eglInitialize(display_, nullptr, nullptr)) {
      display_ = EGL_NO_DISPLAY;
      error_ = "no EGL display";
      return false;
    }
  }
  eglBindAPI(EGL_OPENGL_ES_API);
  EGLint const attribs[] = {EGL_RENDERABLE_TYPE,
                            EGL_OPENGL_ES2_BIT,
                            EGL_SURFACE_TYPE,
                            EGL_PBUFFER_BIT,
                            EGL_RED_SIZE,
                            8,
                            EGL_GREEN_SIZE,
                            8,
                            EGL_BLUE_SIZE,
                            8,
                            EGL_ALPHA_SIZE,
                            8,
                            EGL_DEPTH_SIZE,
                            depth ? 16 : 0,
                            EGL_NONE};
  EGLint count = 0;
  if (!eglChooseConfig(display_, attribs, &config_, 1, &count) || count < 1) {
    error_ = depth ? "no ES2 pbuffer config with depth" : "no ES2 pbuffer config";
    return false;
  }
  EGLint const context_attribs[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
  context_ = eglCreateContext(display_, config_, EGL_NO_CONTEXT, context_attribs);
  if (context_ == EGL_NO_CONTEXT) {
    error_ = "cannot make a context";
    return false;
  }
  return true;
}

bool HeadlessEgl::MakeCurrent(int width, int height, bool depth) {
  if (context_ == EGL_NO_CONTEXT && !Open(depth))
    return false;
  if (surface_ != EGL_NO_SURFACE && (width != width_ || height != height_)) {
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroySurface(display_, surface_);
    surface_ = EGL_NO_SURFACE;
  }
  if (surface_ == EGL_NO_SURFACE) {
    EGLint const surface_attribs[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    surface_ = eglCreatePbufferSurface(display_, config_, surface_attribs);
    if (surface_ == EGL_NO_SURFACE) {
      error_ = "cannot make a pbuffer";
      return false;
    }
    width_ = width;
    height_ = height;
  }
  if (!eglMakeCurrent(display_, surface_, surface_, context_)) {
    error_ = "cannot make a context current";
    return false;
  }
  error_.clear();
  return true;
}

void HeadlessEgl::Release() {
  if (display_ == EGL_NO_DISPLAY)
    return;
  eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  if (surface_ != EGL_NO_SURFACE)
    eglDestroySurface(display_, surface_);
  if (context_ != EGL_NO_CONTEXT)
    eglDestroyContext(display_, context_);
  surface_ = EGL_NO_SURFACE;
  context_ = EGL_NO_CONTEXT;
  width_ = 0;
  height_ = 0;
  eglReleaseThread();
}

std::vector<uint8_t> HeadlessEgl::Read() const {
  std::vector<uint8_t> bottomUp(static_cast<size_t>(width_) * height_ * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, bottomUp.data());
  std::vector<uint8_t> out(bottomUp.size());
  size_t const row = static_cast<size_t>(width_) * 4;
  for (int y = 0; y < height_; ++y)
    std::copy(bottomUp.begin() + (height_ - 1 - y) * row, bottomUp.begin() + (height_ - y) * row,
              out.begin() + y * row);
  return out;
}

}  // namespace vellix_demo
