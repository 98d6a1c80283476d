// Test-only natives of com.ordune.notes.vellix.test.Egl: a headless OpenGL ES 2.0 context
// (Mesa's surfaceless platform, a pbuffer with depth) current on the calling thread, pixels
// read back from it, and the process's standard error captured while a test runs.
#include <GLES2/gl2.h>
#include <jni.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "headless_egl.h"

namespace {

vellix_demo::HeadlessEgl* g_egl = nullptr;
int g_saved_stderr = -1;
int g_capture = -1;

}  // namespace

extern "C" {

// Makes the context current on this thread with a width x height surface (a new one when the
// size changes).
JNIEXPORT jboolean JNICALL Java_com_ordune_notes_vellix_test_Egl_makeCurrent(JNIEnv*, jclass,
                                                                             jint width,
                                                                             jint height) {
  if (g_egl == nullptr)
    g_egl = new vellix_demo::HeadlessEgl();
  return g_egl->MakeCurrent(width, height) ? JNI_TRUE : JNI_FALSE;
}

// Releases the context from this thread and destroys everything.
JNIEXPORT void JNICALL Java_com_ordune_notes_vellix_test_Egl_release(JNIEnv*, jclass) {
  if (g_egl != nullptr)
    g_egl->Release();
}

// The surface as 0xAARRGGBB values, top row first.
JNIEXPORT jintArray JNICALL Java_com_ordune_notes_vellix_test_Egl_readPixels(JNIEnv* env, jclass) {
  if (g_egl == nullptr)
    return env->NewIntArray(0);
  std::vector<uint8_t> const rgba = g_egl->Read();
  std::vector<jint> argb(rgba.size() / 4);
  for (size_t i = 0; i < argb.size(); ++i) {
    uint8_t const* p = &rgba[i * 4];
    argb[i] = static_cast<jint>((static_cast<unsigned>(p[3]) << 24) |
                                (static_cast<unsigned>(p[0]) << 16) |
                                (static_cast<unsigned>(p[1]) << 8) | p[2]);
  }
  jintArray out = env->NewIntArray(static_cast<jsize>(argb.size()));
  if (out != nullptr)
    env->SetIntArrayRegion(out, 0, static_cast<jsize>(argb.size()), argb.data());
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
