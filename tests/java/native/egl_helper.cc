// Test-only natives of com.ordune.notes.vellix.test.Egl: a headless OpenGL ES 2.0 context
// (Mesa's surfaceless platform, a pbuffer with depth) current on the calling thread, pixels
// read back from it, and the process's standard error captured while a test runs.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES2/gl2.h>
#include <jni.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

EGLDisplay g_display = EGL_NO_DISPLAY;
EGLConfig g_config = nullptr;
EGLContext g_context = EGL_NO_CONTEXT;
EGLSurface g_surface = EGL_NO_SURFACE;
int g_width = 0;
int g_height = 0;
int g_saved_stderr = -1;
int g_capture = -1;

bool OpenDisplay() {
  if (g_display != EGL_NO_DISPLAY)
    return true;
  auto get_platform_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
      eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (get_platform_display != nullptr)
    g_display = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (g_display == EGL_NO_DISPLAY)
    g_display = eglGetDisplay(EGL_DEFAULT_DISPLAY);
  if (g_display == EGL_NO_DISPLAY || !eglInitialize(g_display, nullptr, nullptr)) {
    g_display = EGL_NO_DISPLAY;
    return false;
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
                            16,
                            EGL_NONE};
  EGLint count = 0;
  if (!eglChooseConfig(g_display, attribs, &g_config, 1, &count) || count < 1)
    return false;
  EGLint const context_attribs[] = {EGL_CONTEXT_CLIENT_VERSION, 2, EGL_NONE};
  g_context = eglCreateContext(g_display, g_config, EGL_NO_CONTEXT, context_attribs);
  return g_context != EGL_NO_CONTEXT;
}

}  // namespace

extern "C" {

// Makes the context current on this thread with a width x height surface (a new one when the
// size changes).
JNIEXPORT jboolean JNICALL Java_com_ordune_notes_vellix_test_Egl_makeCurrent(JNIEnv*, jclass,
                                                                             jint width,
                                                                             jint height) {
  if (!OpenDisplay())
    return JNI_FALSE;
  if (g_surface != EGL_NO_SURFACE && (width != g_width || height != g_height)) {
    eglMakeCurrent(g_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroySurface(g_display, g_surface);
    g_surface = EGL_NO_SURFACE;
  }
  if (g_surface == EGL_NO_SURFACE) {
    EGLint const attribs[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    g_surface = eglCreatePbufferSurface(g_display, g_config, attribs);
    if (g_surface == EGL_NO_SURFACE)
      return JNI_FALSE;
    g_width = width;
    g_height = height;
  }
  return eglMakeCurrent(g_display, g_surface, g_surface, g_context) ? JNI_TRUE : JNI_FALSE;
}

// Releases the context from this thread and destroys everything.
JNIEXPORT void JNICALL Java_com_ordune_notes_vellix_test_Egl_release(JNIEnv*, jclass) {
  if (g_display == EGL_NO_DISPLAY)
    return;
  eglMakeCurrent(g_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  if (g_surface != EGL_NO_SURFACE)
    eglDestroySurface(g_display, g_surface);
  if (g_context != EGL_NO_CONTEXT)
    eglDestroyContext(g_display, g_context);
  g_surface = EGL_NO_SURFACE;
  g_context = EGL_NO_CONTEXT;
  eglReleaseThread();
}

// The surface as 0xAARRGGBB values, top row first.
JNIEXPORT jintArray JNICALL Java_com_ordune_notes_vellix_test_Egl_readPixels(JNIEnv* env, jclass) {
  int const w = g_width;
  int const h = g_height;
  std::vector<unsigned char> rgba(static_cast<size_t>(w) * h * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  std::vector<jint> argb(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      unsigned char const* p = &rgba[(static_cast<size_t>(h - 1 - y) * w + x) * 4];
      argb[static_cast<size_t>(y) * w + x] = static_cast<jint>(
          (static_cast<unsigned>(p[3]) << 24) | (static_cast<unsigned>(p[0]) << 16) |
          (static_cast<unsigned>(p[1]) << 8) | p[2]);
    }
  }
  jintArray out = env->NewIntArray(w * h);
  if (out != nullptr)
    env->SetIntArrayRegion(out, 0, w * h, argb.data());
  return out;
}

JNIEXPORT jint JNICALL Java_com_ordune_notes_vellix_test_Egl_glError(JNIEnv*, jclass) {
  return static_cast<jint>(glGetError());
}

// Sends the process's standard error to an unnamed temporary file until endCapture.
JNIEXPORT jboolean JNICALL Java_com_ordune_notes_vellix_test_Egl_beginCapture(JNIEnv*, jclass) {
  if (g_capture >= 0)
    return JNI_FALSE;
  char const* dir = getenv("TMPDIR");
  std::string path =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vellix-stderr-XXXXXX";
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0)
    return JNI_FALSE;
  unlink(name.data());
  fflush(stderr);
  g_saved_stderr = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  g_capture = fd;
  return JNI_TRUE;
}

namespace {

std::string CapturedText() {
  fflush(stderr);
  std::string text;
  char buf[4096];
  off_t at = 0;
  for (;;) {
    ssize_t n = pread(g_capture, buf, sizeof(buf), at);
    if (n <= 0)
      break;
    text.append(buf, static_cast<size_t>(n));
    at += n;
  }
  // Log lines are ASCII; anything else is replaced so that NewStringUTF gets valid input.
  for (char& c : text) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0')
      c = '?';
  }
  return text;
}

}  // namespace

// What was written to standard error since beginCapture, so far.
JNIEXPORT jstring JNICALL Java_com_ordune_notes_vellix_test_Egl_peekCapture(JNIEnv* env, jclass) {
  return env->NewStringUTF(g_capture < 0 ? "" : CapturedText().c_str());
}

// What was written to standard error since beginCapture; standard error is restored.
JNIEXPORT jstring JNICALL Java_com_ordune_notes_vellix_test_Egl_endCapture(JNIEnv* env, jclass) {
  if (g_capture < 0)
    return env->NewStringUTF("");
  std::string text = CapturedText();
  dup2(g_saved_stderr, STDERR_FILENO);
  close(g_saved_stderr);
  g_saved_stderr = -1;
  close(g_capture);
  g_capture = -1;
  return env->NewStringUTF(text.c_str());
}

}  // extern "C"
