// The natives registered on com/ordune/notes/vellix/VellixLib. One scene and one callback per
// process. Natives arrive on the render thread (GL work) and on the input thread (touch and
// animation requests, which touch no GL state); one lock around every scene call keeps the
// two from meeting inside the scene. The end-of-animation callback runs on the rendering
// thread at the end of RenderAnimationFrame, under the same (recursive) lock, so the Java
// method may call the natives again.
#include <android/bitmap.h>
#include <android/log.h>
#include <jni.h>
#include <limits.h>

#include <mutex>

#include "book/gl_scene.h"
#include "jni/vellix_callback.h"

namespace {

using kestrin::CVellixCallback;
using kestrin::GL::GLScene;

char const kClassName[] = "com/ordune/notes/vellix/VellixLib";

std::recursive_mutex g_lock;
GLScene* g_scene = nullptr;
CVellixCallback* g_callback = nullptr;
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

// One bitmap held locked for an upload.
struct Pixels {
  jobject bitmap = nullptr;
  AndroidBitmapInfo info{};
  void* data = nullptr;
};

// False when the bitmap cannot be described (the call is abandoned). Otherwise px->data is
// the locked pixels, or null when locking failed (the bitmap is not uploaded).
bool LockBitmap(JNIEnv* env, jobject bitmap, Pixels* px) {
  px->bitmap = bitmap;
  int rc = AndroidBitmap_getInfo(env, bitmap, &px->info);
  if (rc < 0) {
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "AndroidBitmap_getInfo() failed ! error=%d",
                        rc);
    return false;
  }
  rc = AndroidBitmap_lockPixels(env, bitmap, &px->data);
  if (rc < 0) {
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "AndroidBitmap_lockPixels() failed ! error=%d",
                        rc);
    px->data = nullptr;
  }
  return true;
}

void UnlockBitmap(JNIEnv* env, Pixels const& px) {
  if (px.data != nullptr)
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

// Locks the bitmap, hands it to `use` and unlocks it; nothing without a scene or pixels.
template <typename Use>
void WithBitmap(JNIEnv* env, jobject bitmap, Use use) {
  if (g_scene == nullptr)
    return;
  Pixels px;
  if (!LockBitmap(env, bitmap, &px) || px.data == nullptr)
    return;
  use(px);
  UnlockBitmap(env, px);
}

// ---------------------------------------------------------------------------------------------
// Natives

void InitializeCurlEngine(JNIEnv* env, jobject thiz, jint width, jint height) {
  Guard hold(g_lock);
  if (g_callback == nullptr) {
    g_callback = new CVellixCallback();
    g_callback->Init(env, thiz);
  }
  if (g_scene == nullptr)
    g_scene = new GLScene();
  g_scene->Init(width, height, OnSceneAnimationEnd);
}

void TerminateCurlEngine(JNIEnv*, jobject) {
  Guard hold(g_lock);
  delete g_scene;
  g_scene = nullptr;
  __android_log_print(ANDROID_LOG_ERROR, nullptr, "VELLIX_JNI::Delete Callbacker(+)");
  if (g_callback != nullptr) {
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "callback!=NULL");
    delete g_callback;
    g_callback = nullptr;
  }
  __android_log_print(ANDROID_LOG_ERROR, nullptr, "VELLIX_JNI::Delete Callbacker(-)");
}

jint RenderAnimationFrame(JNIEnv*, jobject) {
  Guard hold(g_lock);
  if (g_scene == nullptr)
    return -1;
  g_animationEnded = false;
  jint r = g_scene->UpdateAndDraw();
  if (g_animationEnded) {
    g_animationEnded = false;
    if (g_callback != nullptr)
      g_callback->OnAnimationEnd();
  }
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

void SetCurlEngineDimensions(JNIEnv*, jobject, jint width, jint height) {
  Guard hold(g_lock);
  if (g_scene != nullptr)
    g_scene->ResetDimension(width, height);
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
  Guard hold(g_lock);
  Pixels px[3];
  bool abandoned = false;
  for (jsize i = 0; i < n; ++i) {
    jobject bitmap = env->GetObjectArrayElement(bitmaps, i);
    if (bitmap == nullptr)
      continue;
    if (!LockBitmap(env, bitmap, &px[i])) {
      env->DeleteLocalRef(bitmap);
      px[i] = Pixels();
      abandoned = true;
      break;
    }
  }
  if (!abandoned && g_scene != nullptr) {
    for (jsize i = 0; i < n; ++i) {
      if (px[i].data != nullptr)
        g_scene->SetPageImage(px[i].data, static_cast<int>(i) - 1, Width(px[i]), Height(px[i]),
                              FormatOf(px[i]), true);
    }
  }
  for (Pixels const& p : px) {
    UnlockBitmap(env, p);
    if (p.bitmap != nullptr)
      env->DeleteLocalRef(p.bitmap);
  }
}

void UpdatePageImage(JNIEnv* env, jobject, jobject bitmap, jint index) {
  if (bitmap == nullptr)
    return;
  Guard hold(g_lock);
  WithBitmap(env, bitmap, [&](Pixels const& px) {
    g_scene->SetPageImage(px.data, index, Width(px), Height(px), FormatOf(px), true);
  });
}

void RefreshImage(JNIEnv* env, jobject, jobject bitmap, jint index, jboolean flag) {
  if (bitmap == nullptr)
    return;
  Guard hold(g_lock);
  WithBitmap(env, bitmap, [&](Pixels const& px) {
    g_scene->SetPageImage(px.data, index, Width(px), Height(px), FormatOf(px), flag != JNI_FALSE);
  });
}

void SetBackgroundImage(JNIEnv* env, jobject, jobject bitmap) {
  Guard hold(g_lock);
  WithBitmap(env, bitmap, [&](Pixels const& px) {
    g_scene->SetBackgroundImage(px.data, Width(px), Height(px), FormatOf(px));
  });
}

void SetBorderImage(JNIEnv* env, jobject, jobject bitmap) {
  Guard hold(g_lock);
  WithBitmap(env, bitmap, [&](Pixels const& px) {
    g_scene->SetBorderImage(px.data, Width(px), Height(px), FormatOf(px));
  });
}

void SetBlankImage(JNIEnv* env, jobject, jobject bitmap) {
  Guard hold(g_lock);
  WithBitmap(env, bitmap, [&](Pixels const& px) {
    g_scene->SetBlankImage(px.data, Width(px), Height(px), FormatOf(px));
  });
}

void SetLeftPageImage(JNIEnv* env, jobject, jobject bitmap) {
  Guard hold(g_lock);
  WithBitmap(env, bitmap, [&](Pixels const& px) {
    g_scene->SetLeftPageImage(px.data, Width(px), Height(px), FormatOf(px));
  });
}

void SetQuickFlipImage(JNIEnv* env, jobject, jobject bitmap, jboolean flag) {
  Guard hold(g_lock);
  WithBitmap(env, bitmap, [&](Pixels const& px) {
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
