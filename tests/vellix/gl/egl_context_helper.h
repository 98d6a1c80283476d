// A headless OpenGL ES 2.0 context for tests: Mesa's surfaceless platform (or the default
// display) with a small pbuffer that is read back pixel by pixel.
#ifndef TESTS_VELLIX_GL_EGL_CONTEXT_HELPER_H
#define TESTS_VELLIX_GL_EGL_CONTEXT_HELPER_H

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <dlfcn.h>
#include <link.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

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
  explicit HeadlessGL(int width = 64, int height = 64, bool depth = false)
      : width_(width), height_(height) {
    auto get_platform_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (get_platform_display != nullptr)
      display_ = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (display_ == EGL_NO_DISPLAY)
      display_ = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    if (display_ == EGL_NO_DISPLAY || !eglInitialize(display_, nullptr, nullptr)) {
      error_ = "no EGL display";
      return;
    }
    eglBindAPI(EGL_OPENGL_ES_API);
    EGLint const config_attribs[] = {EGL_RENDERABLE_TYPE,
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
    EGLConfig config = nullptr;
    EGLint count = 0;
    if (!eglChooseConfig(display_, config_attribs, &config, 1, &count) || count < 1) {
      error_ = "no ES2 pbuffer config";
      return;
    }
    EGLint const context_attribs[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
    context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, context_attribs);
    EGLint const surface_attribs[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    surface_ = eglCreatePbufferSurface(display_, config, surface_attribs);
    if (context_ == EGL_NO_CONTEXT || surface_ == EGL_NO_SURFACE ||
        !eglMakeCurrent(display_, surface_, surface_, context_)) {
      error_ = "cannot make a context current";
      return;
    }
    PinGLDrivers();
    glViewport(0, 0, width, height);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  }

  ~HeadlessGL() {
    if (display_ == EGL_NO_DISPLAY)
      return;
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (surface_ != EGL_NO_SURFACE)
      eglDestroySurface(display_, surface_);
    if (context_ != EGL_NO_CONTEXT)
      eglDestroyContext(display_, context_);
    eglTerminate(display_);
    eglReleaseThread();
  }

  HeadlessGL(HeadlessGL const&) = delete;
  HeadlessGL& operator=(HeadlessGL const&) = delete;

  // Empty when the context is current.
  std::string const& error() const { return error_; }

  // Pixel (x, y) of the pbuffer, y from the bottom, as 0xRRGGBBAA.
  uint32_t Pixel(int x, int y) const {
    uint8_t p[4] = {0, 0, 0, 0};
    glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  }

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  int width_;
  int height_;
  EGLDisplay display_ = EGL_NO_DISPLAY;
  EGLContext context_ = EGL_NO_CONTEXT;
  EGLSurface surface_ = EGL_NO_SURFACE;
  std::string error_;
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
