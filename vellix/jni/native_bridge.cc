// The natives registered on com/ordune/notes/vellix/VellixLib. One scene and one callback per
// process. Natives arrive on the render thread (GL work) and on the input thread (touch and
// animation requests, which touch no GL state); one lock around every scene call keeps the
// two from meeting inside the scene. The end-of-animation callback runs on the rendering
// thread at the end of RenderAnimationFrame, after the lock is released, so the Java method
// may call any native, and may wait for a thread that is calling one.
//
// Failures are loud: a GL native without the engine's EGL context throws
// IllegalStateException and changes nothing; a bitmap that cannot be described or locked, or
// whose format the library cannot upload, throws IllegalArgumentException naming the format;
// rows wider than their pixels are packed before the upload; a class without animation_end_callback() makes InitializeCurlEngine throw
// NoSuchMethodError; TerminateCurlEngine away from the engine's context forgets the GL names
// instead of deleting them in whatever context is current.
#include <EGL/egl.h>
#include <android/bitmap.h>
#include <android/log.h>
#include <jni.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "book/gl_scene.h"
#include "jni/vellix_callback.h"

namespace {

using kestrin::CVellixCallback;
using kestrin::GL::GLScene;

char const kClassName[] = "com/ordune/notes/vellix/VellixLib";
char const kIllegalState[] = "java/lang/IllegalStateException";
char const kIllegalArgument[] = "java/lang/IllegalArgumentException";
char const kNoSuchMethod[] = "java/lang/NoSuchMethodError";

std::recursive_mutex g_lock;
GLScene* g_scene = nullptr;
// Shared so that a callback in flight outside the lock keeps its object alive through a
// TerminateCurlEngine on another thread.
std::shared_ptr<CVellixCallback> g_callback;
// Set by the scene inside UpdateAndDraw, delivered once the frame is done.
bool g_animationEnded = false;

using Guard = std::lock_guard<std::recursive_mutex>;

void OnSceneAnimationEnd() {
  g_animationEnded = true;
}

// Java's 64-bit times as the scene's long, which has 32 bits on 32-bit ARM.
long ToLong(jlong v) {
  if (v > LONG_MAX)
    return LONG_MAX;
  if (v < LONG_MIN)
    return LONG_MIN;
  return static_cast<long>(v);
}

// An exception to throw once every bitmap is unlocked: JNI allows few calls while one is
// pending.
struct Failure {
  char const* cls = nullptr;
  std::string text;

  bool failed() const { return cls != nullptr; }
  void Set(char const* c, char const* fmt, ...) __attribute__((format(printf, 3, 4))) {
    if (cls != nullptr)
      return;  // the first failure is the one reported
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    cls = c;
    text = buf;
  }
  // Throws the failure, if any; true when one was thrown.
  bool Throw(JNIEnv* env) const {
    if (cls == nullptr)
      return false;
    jclass c = env->FindClass(cls);
    if (c != nullptr) {
      env->ThrowNew(c, text.c_str());
      env->DeleteLocalRef(c);
    }
    return true;
  }
};

// GL natives: the engine's context must be current on the calling thread. Without one the
// GL calls would go nowhere (or make textures named 0), with another one they would use or
// delete names of a context they do not belong to.
bool CheckContext(char const* native, Failure* f) {
  if (eglGetCurrentContext() == EGL_NO_CONTEXT) {
    f->Set(kIllegalState,
           "VellixLib.%s: no EGL context is current on this thread; call it on the GL thread "
           "(GLSurfaceView.Renderer, or GLSurfaceView.queueEvent)",
           native);
    return false;
  }
  if (g_scene != nullptr && !g_scene->OwnsCurrentContext()) {
    f->Set(kIllegalState,
           "VellixLib.%s: the current EGL context is not the one InitializeCurlEngine ran in; "
           "call InitializeCurlEngine in this context first",
           native);
    return false;
  }
  return true;
}

char const* FormatName(int32_t format) {
  switch (format) {
    case ANDROID_BITMAP_FORMAT_NONE:
      return "NONE";
    case ANDROID_BITMAP_FORMAT_RGBA_8888:
      return "RGBA_8888";
    case ANDROID_BITMAP_FORMAT_RGB_565:
      return "RGB_565";
    case ANDROID_BITMAP_FORMAT_RGBA_4444:
      return "RGBA_4444";
    case ANDROID_BITMAP_FORMAT_A_8:
      return "A_8";
    case ANDROID_BITMAP_FORMAT_RGBA_F16:
      return "RGBA_F16";
    case ANDROID_BITMAP_FORMAT_RGBA_1010102:
      return "RGBA_1010102";
    default:
      return "unknown";
  }
}

// Bytes per pixel of the formats the book uploads as they are, 0 for any other.
uint32_t UploadedBytesPerPixel(int32_t format) {
  switch (format) {
    case ANDROID_BITMAP_FORMAT_RGBA_8888:
      return 4;
    case ANDROID_BITMAP_FORMAT_RGB_565:
    case ANDROID_BITMAP_FORMAT_RGBA_4444:
      return 2;
    case ANDROID_BITMAP_FORMAT_A_8:
      return 1;
    default:
      return 0;
  }
}

// One bitmap held locked for an upload.
struct Pixels {
  jobject bitmap = nullptr;
  AndroidBitmapInfo info{};
  void* locked = nullptr;
  // What the upload reads: the locked pixels, or `packed` when the rows are padded.
  void* data = nullptr;
  std::vector<uint8_t> packed;
};

// Describes, checks and locks `bitmap`. False, with the failure set and nothing left locked,
// when it cannot be described or locked or has a format the library cannot upload. `what`
// names the bitmap in the message ("SetPageImages: bitmap 1").
bool LockBitmap(JNIEnv* env, jobject bitmap, Pixels* px, char const* what, Failure* f) {
  px->bitmap = bitmap;
  int rc = AndroidBitmap_getInfo(env, bitmap, &px->info);
  if (rc < 0) {
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "AndroidBitmap_getInfo() failed ! error=%d",
                        rc);
    f->Set(kIllegalArgument,
           "VellixLib.%s cannot be described (AndroidBitmap_getInfo error %d); use a bitmap of "
           "Bitmap.Config.ARGB_8888 or RGB_565",
           what, rc);
    return false;
  }
  int32_t const format = px->info.format;
  if ((px->info.flags & ANDROID_BITMAP_FLAGS_IS_HARDWARE) != 0) {
    f->Set(kIllegalArgument,
           "VellixLib.%s has format HARDWARE (%s in GPU memory), which cannot be locked; copy "
           "it with bitmap.copy(Bitmap.Config.ARGB_8888, false)",
           what, FormatName(format));
    return false;
  }
  uint32_t const bpp = UploadedBytesPerPixel(format);
  if (bpp == 0) {
    f->Set(kIllegalArgument,
           "VellixLib.%s has format %s (%d), which libvellix cannot upload; use "
           "Bitmap.Config.ARGB_8888 or RGB_565 (ARGB_4444 and ALPHA_8 work too)",
           what, FormatName(format), static_cast<int>(format));
    return false;
  }
  uint64_t const row = static_cast<uint64_t>(px->info.width) * bpp;
  if (px->info.stride < row) {
    f->Set(kIllegalArgument, "VellixLib.%s has format %s and a stride of %u bytes for %u pixels",
           what, FormatName(format), px->info.stride, px->info.width);
    return false;
  }
  rc = AndroidBitmap_lockPixels(env, bitmap, &px->locked);
  if (rc < 0 || px->locked == nullptr) {
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "AndroidBitmap_lockPixels() failed ! error=%d",
                        rc);
    if (rc >= 0)
      AndroidBitmap_unlockPixels(env, bitmap);
    px->locked = nullptr;
    f->Set(kIllegalArgument,
           "VellixLib.%s (format %s) cannot be locked (AndroidBitmap_lockPixels error %d); is "
           "it recycled?",
           what, FormatName(format), rc);
    return false;
  }
  px->data = px->locked;
  if (px->info.stride != row) {
    // OpenGL ES 2.0 has no row length for uploads: the rows are packed here.
    size_t const packedRow = static_cast<size_t>(row);
    px->packed.resize(packedRow * px->info.height);
    uint8_t const* from = static_cast<uint8_t const*>(px->locked);
    for (uint32_t y = 0; y < px->info.height; ++y)
      memcpy(&px->packed[y * packedRow], from + static_cast<size_t>(y) * px->info.stride,
             packedRow);
    px->data = px->packed.data();
  }
  return true;
}

void UnlockBitmap(JNIEnv* env, Pixels const& px) {
  if (px.locked != nullptr)
    AndroidBitmap_unlockPixels(env, px.bitmap);
}

AndroidBitmapFormat FormatOf(Pixels const& px) {
  return static_cast<AndroidBitmapFormat>(px.info.format);
}

int Width(Pixels const& px) {
  return static_cast<int>(px.info.width);
}

int Height(Pixels const& px) {
  return static_cast<int>(px.info.height);
}

// Under the lock: checks the context (when `gl`), locks the bitmap, hands it to `use` and
// unlocks it; then throws what failed. Nothing without a scene; a null bitmap only logs the
// failed description and changes nothing.
template <typename Use>
void WithBitmap(JNIEnv* env, jobject bitmap, char const* native, bool gl, Use use) {
  Failure f;
  {
    Guard hold(g_lock);
    if (g_scene == nullptr)
      return;
    if (gl && !CheckContext(native, &f)) {
      f.Throw(env);
      return;
    }
    if (bitmap == nullptr) {
      __android_log_print(ANDROID_LOG_ERROR, nullptr, "AndroidBitmap_getInfo() failed ! error=%d",
                          ANDROID_BITMAP_RESULT_BAD_PARAMETER);
      return;
    }
    std::string what = std::string(native) + ": the bitmap";
    Pixels px;
    if (LockBitmap(env, bitmap, &px, what.c_str(), &f))
      use(px);
    UnlockBitmap(env, px);
  }
  f.Throw(env);
}

// ---------------------------------------------------------------------------------------------
// Natives

void InitializeCurlEngine(JNIEnv* env, jobject thiz, jint width, jint height) {
  Failure f;
  {
    Guard hold(g_lock);
    // A new context is fine here (that is how a lost one is replaced); none is not.
    if (eglGetCurrentContext() == EGL_NO_CONTEXT) {
      f.Set(kIllegalState,
            "VellixLib.InitializeCurlEngine: no EGL context is current on this thread; call it "
            "on the GL thread (GLSurfaceView.Renderer.onSurfaceChanged)");
    } else {
      if (g_callback == nullptr) {
        auto callback = std::make_shared<CVellixCallback>();
        if (callback->Init(env, thiz)) {
          g_callback = callback;
        } else if (callback->javaClass != nullptr) {
          f.Set(kNoSuchMethod,
                "com.ordune.notes.vellix.VellixLib has no static void animation_end_callback(): "
                "keep it with libvellix's proguard-rules.pro");
        } else {
          f.Set(kIllegalState, "VellixLib.InitializeCurlEngine: no reference to the class");
        }
      }
      if (!f.failed()) {
        if (g_scene == nullptr)
          g_scene = new GLScene();
        g_scene->Init(width, height, OnSceneAnimationEnd);
      }
    }
  }
  f.Throw(env);
}

void TerminateCurlEngine(JNIEnv*, jobject) {
  Guard hold(g_lock);
  if (g_scene != nullptr && !g_scene->OwnsCurrentContext()) {
    // Not the engine's context (another thread, or the context is gone): its names cannot be
    // deleted from here, and deleting them in another context would delete that one's.
    g_scene->ForgetContext();
  }
  delete g_scene;
  g_scene = nullptr;
  __android_log_print(ANDROID_LOG_ERROR, nullptr, "VELLIX_JNI::Delete Callbacker(+)");
  if (g_callback != nullptr) {
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "callback!=NULL");
    g_callback.reset();
  }
  __android_log_print(ANDROID_LOG_ERROR, nullptr, "VELLIX_JNI::Delete Callbacker(-)");
}

jint RenderAnimationFrame(JNIEnv* env, jobject) {
  std::shared_ptr<CVellixCallback> callback;
  jint r = 0;
  {
    Guard hold(g_lock);
    if (g_scene == nullptr)
      return -1;
    Failure f;
    if (!CheckContext("RenderAnimationFrame", &f)) {
      f.Throw(env);
      return -1;
    }
    g_animationEnded = false;
    r = g_scene->UpdateAndDraw();
    if (g_animationEnded) {
      g_animationEnded = false;
      callback = g_callback;
    }
  }
  // Outside the lock: the callback may wait for a thread that is calling a native.
  if (callback != nullptr)
    callback->OnAnimationEnd();
  return r;
}

jint CurlBegin(JNIEnv*, jobject, jint x, jint y, jboolean flag) {
  Guard hold(g_lock);
  if (g_scene == nullptr)
    return -1;
  g_scene->CurlBegin(x, y, flag != JNI_FALSE);
  return 0;
}

jint Curling(JNIEnv*, jobject, jint x, jint y) {
  Guard hold(g_lock);
  if (g_scene == nullptr)
    return -1;
  g_scene->Curling(x, y);
  return 0;
}

jint CurlEnd(JNIEnv*, jobject, jboolean flag, jlong time) {
  Guard hold(g_lock);
  if (g_scene == nullptr)
    return -1;
  g_scene->CurlEnd(flag != JNI_FALSE, ToLong(time));
  return 0;
}

jint TurnPageAnimation(JNIEnv*, jobject, jboolean flag, jlong time) {
  Guard hold(g_lock);
  if (g_scene == nullptr)
    return -1;
  g_scene->NoteTurnPageAnimation(flag != JNI_FALSE, ToLong(time));
  return 0;
}

jint BouncingCurlAnimation(JNIEnv*, jobject, jboolean flag, jlong time) {
  Guard hold(g_lock);
  if (g_scene == nullptr)
    return -1;
  g_scene->BouncingCurlAnimation(flag != JNI_FALSE, ToLong(time));
  return 0;
}

jintArray GetTransformedCoordinate(JNIEnv* env, jobject, jint a, jint b, jint c) {
  jintArray out = env->NewIntArray(2);
  if (out == nullptr)
    return nullptr;
  jint xy[2] = {0, 0};
  {
    Guard hold(g_lock);
    if (g_scene != nullptr) {
      int x = 0;
      int y = 0;
      g_scene->GetTransformedCoordinate(a, b, c, &x, &y);
      xy[0] = x;
      xy[1] = y;
    }
  }
  env->SetIntArrayRegion(out, 0, 2, xy);
  return out;
}

void StartRender(JNIEnv*, jobject) {}

void StopRender(JNIEnv*, jobject) {}

void SetCurlEngineDimensions(JNIEnv* env, jobject, jint width, jint height) {
  Failure f;
  {
    Guard hold(g_lock);
    if (g_scene == nullptr)
      return;
    if (CheckContext("SetCurlEngineDimensions", &f))
      g_scene->ResetDimension(width, height);
  }
  f.Throw(env);
}

void SetPageImages(JNIEnv* env, jobject, jobjectArray bitmaps, jint count) {
  if (bitmaps == nullptr)
    return;
  // Never past the array nor past the three slots (previous, current, next).
  jsize n = env->GetArrayLength(bitmaps);
  if (count < n)
    n = count;
  if (n > 3)
    n = 3;
  Failure f;
  {
    Guard hold(g_lock);
    if (g_scene == nullptr)
      return;
    Pixels px[3];
    if (CheckContext("SetPageImages", &f)) {
      for (jsize i = 0; i < n && !f.failed(); ++i) {
        jobject bitmap = env->GetObjectArrayElement(bitmaps, i);
        if (bitmap == nullptr)
          continue;
        char what[64];
        snprintf(what, sizeof(what), "SetPageImages: bitmap %d", static_cast<int>(i));
        LockBitmap(env, bitmap, &px[i], what, &f);
      }
      // All or nothing: one bad bitmap and no page changes.
      if (!f.failed()) {
        for (jsize i = 0; i < n; ++i) {
          if (px[i].data != nullptr)
            g_scene->SetPageImage(px[i].data, static_cast<int>(i) - 1, Width(px[i]), Height(px[i]),
                                  FormatOf(px[i]), true);
        }
      }
    }
    for (Pixels const& p : px) {
      UnlockBitmap(env, p);
      if (p.bitmap != nullptr)
        env->DeleteLocalRef(p.bitmap);
    }
  }
  f.Throw(env);
}

void UpdatePageImage(JNIEnv* env, jobject, jobject bitmap, jint index) {
  if (bitmap == nullptr)
    return;
  WithBitmap(env, bitmap, "UpdatePageImage", true, [&](Pixels const& px) {
    g_scene->SetPageImage(px.data, index, Width(px), Height(px), FormatOf(px), true);
  });
}

void RefreshImage(JNIEnv* env, jobject, jobject bitmap, jint index, jboolean flag) {
  if (bitmap == nullptr)
    return;
  WithBitmap(env, bitmap, "RefreshImage", true, [&](Pixels const& px) {
    g_scene->SetPageImage(px.data, index, Width(px), Height(px), FormatOf(px), flag != JNI_FALSE);
  });
}

void SetBackgroundImage(JNIEnv* env, jobject, jobject bitmap) {
  WithBitmap(env, bitmap, "SetBackgroundImage", false, [&](Pixels const& px) {
    g_scene->SetBackgroundImage(px.data, Width(px), Height(px), FormatOf(px));
  });
}

void SetBorderImage(JNIEnv* env, jobject, jobject bitmap) {
  WithBitmap(env, bitmap, "SetBorderImage", true, [&](Pixels const& px) {
    g_scene->SetBorderImage(px.data, Width(px), Height(px), FormatOf(px));
  });
}

void SetBlankImage(JNIEnv* env, jobject, jobject bitmap) {
  WithBitmap(env, bitmap, "SetBlankImage", true, [&](Pixels const& px) {
    g_scene->SetBlankImage(px.data, Width(px), Height(px), FormatOf(px));
  });
}

void SetLeftPageImage(JNIEnv* env, jobject, jobject bitmap) {
  WithBitmap(env, bitmap, "SetLeftPageImage", true, [&](Pixels const& px) {
    g_scene->SetLeftPageImage(px.data, Width(px), Height(px), FormatOf(px));
  });
}

void SetQuickFlipImage(JNIEnv* env, jobject, jobject bitmap, jboolean flag) {
  WithBitmap(env, bitmap, "SetQuickFlipImage", false, [&](Pixels const& px) {
    g_scene->SetQuickFlipImage(px.data, Width(px), Height(px), FormatOf(px), flag != JNI_FALSE);
  });
}

void Zoom(JNIEnv*, jobject, jint a, jint b, jint c, jint d, jfloat scale) {
  Guard hold(g_lock);
  if (g_scene != nullptr)
    g_scene->ZoomBook(a, b, c, d, scale);
}

void ZoomBook(JNIEnv*, jobject, jfloat scale) {
  Guard hold(g_lock);
  if (g_scene != nullptr)
    g_scene->ZoomBook(scale);
}

void QuickFlip(JNIEnv*, jobject, jint a, jboolean flag, jlong time) {
  Guard hold(g_lock);
  if (g_scene != nullptr)
    g_scene->QuickFlip(a, flag != JNI_FALSE, ToLong(time));
}

void SetVisible(JNIEnv*, jobject, jboolean flag) {
  Guard hold(g_lock);
  if (g_scene != nullptr)
    g_scene->SetVisible(flag != JNI_FALSE);
}

#define VELLIX_NATIVE(name, sig) \
  { const_cast<char*>(#name), const_cast<char*>(sig), reinterpret_cast<void*>(name) }

JNINativeMethod const kMethods[] = {
    VELLIX_NATIVE(InitializeCurlEngine, "(II)V"),
    VELLIX_NATIVE(TerminateCurlEngine, "()V"),
    VELLIX_NATIVE(RenderAnimationFrame, "()I"),
    VELLIX_NATIVE(CurlBegin, "(IIZ)I"),
    VELLIX_NATIVE(Curling, "(II)I"),
    VELLIX_NATIVE(CurlEnd, "(ZJ)I"),
    VELLIX_NATIVE(TurnPageAnimation, "(ZJ)I"),
    VELLIX_NATIVE(BouncingCurlAnimation, "(ZJ)I"),
    VELLIX_NATIVE(GetTransformedCoordinate, "(III)[I"),
    VELLIX_NATIVE(StartRender, "()V"),
    VELLIX_NATIVE(StopRender, "()V"),
    VELLIX_NATIVE(SetCurlEngineDimensions, "(II)V"),
    VELLIX_NATIVE(SetPageImages, "([Landroid/graphics/Bitmap;I)V"),
    VELLIX_NATIVE(UpdatePageImage, "(Landroid/graphics/Bitmap;I)V"),
    VELLIX_NATIVE(RefreshImage, "(Landroid/graphics/Bitmap;IZ)V"),
    VELLIX_NATIVE(SetBackgroundImage, "(Landroid/graphics/Bitmap;)V"),
    VELLIX_NATIVE(SetBorderImage, "(Landroid/graphics/Bitmap;)V"),
    VELLIX_NATIVE(SetBlankImage, "(Landroid/graphics/Bitmap;)V"),
    VELLIX_NATIVE(SetLeftPageImage, "(Landroid/graphics/Bitmap;)V"),
    VELLIX_NATIVE(SetQuickFlipImage, "(Landroid/graphics/Bitmap;Z)V"),
    VELLIX_NATIVE(Zoom, "(IIIIF)V"),
    VELLIX_NATIVE(ZoomBook, "(F)V"),
    VELLIX_NATIVE(QuickFlip, "(IZJ)V"),
    VELLIX_NATIVE(SetVisible, "(Z)V"),
};

static_assert(sizeof(kMethods) / sizeof(kMethods[0]) == 24, "the Java class declares 24 natives");

}  // namespace

extern "C" JNIEXPORT jint JNI_OnLoad(JavaVM* vm, void*) {
  __android_log_print(ANDROID_LOG_INFO, nullptr, "JNI_OnLoad");
  JNIEnv* env = nullptr;
  if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_4) != JNI_OK) {
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "ERROR: GetEnv failed");
    return -1;
  }
  jclass cls = env->FindClass(kClassName);
  if (cls == nullptr) {
    env->ExceptionClear();
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "Native registration unable to find class '%s'",
                        kClassName);
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "ERROR: registerNatives failed");
    return -1;
  }
  jint rc = env->RegisterNatives(cls, kMethods, sizeof(kMethods) / sizeof(kMethods[0]));
  env->DeleteLocalRef(cls);
  if (rc < 0) {
    env->ExceptionClear();
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "RegisterNatives failed for '%s'", kClassName);
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "ERROR: registerNatives failed");
    return -1;
  }
  return JNI_VERSION_1_4;
}
