#include <android/bitmap.h>
#include <android/pixel_ref.h>

#include <stdint.h>

namespace {

struct Fields {
  jclass cls = nullptr;
  jfieldID width = nullptr;
  jfieldID height = nullptr;
  jfieldID format = nullptr;
  jfieldID buffer = nullptr;
  // Optional: lock bookkeeping, the native owner of a bitmap made by CreateJavaBitmap, padded
  // rows, a bitmap in GPU memory.
  jfieldID lockCount = nullptr;
  jfieldID pixelRef = nullptr;
  jfieldID stride = nullptr;
  jfieldID hardware = nullptr;
};

jfieldID OptionalField(JNIEnv* env, jclass cls, char const* name, char const* sig) {
  jfieldID id = env->GetFieldID(cls, name, sig);
  if (id == nullptr && env->ExceptionCheck())
    env->ExceptionClear();
  return id;
}

// Looks the fields up on the object's own class. False (any exception cleared) when it is not
// a bitmap of the expected shape.
bool Lookup(JNIEnv* env, jobject bitmap, Fields* f) {
  f->cls = env->GetObjectClass(bitmap);
  if (f->cls == nullptr)
    return false;
  f->width = OptionalField(env, f->cls, "mWidth", "I");
  f->height = OptionalField(env, f->cls, "mHeight", "I");
  f->format = OptionalField(env, f->cls, "mFormat", "I");
  f->buffer = OptionalField(env, f->cls, "mBuffer", "Ljava/nio/ByteBuffer;");
  f->lockCount = OptionalField(env, f->cls, "mLockCount", "I");
  f->pixelRef = OptionalField(env, f->cls, "mNativePixelRef", "J");
  f->stride = OptionalField(env, f->cls, "mStride", "I");
  f->hardware = OptionalField(env, f->cls, "mHardware", "Z");
  return f->width != nullptr && f->height != nullptr && f->format != nullptr &&
         f->buffer != nullptr;
}

uint32_t BytesPerPixel(int32_t format) {
  switch (format) {
    case ANDROID_BITMAP_FORMAT_RGBA_F16:
      return 8;
    case ANDROID_BITMAP_FORMAT_RGBA_8888:
    case ANDROID_BITMAP_FORMAT_RGBA_1010102:
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

int Describe(JNIEnv* env, jobject bitmap, Fields* f, AndroidBitmapInfo* info) {
  if (env == nullptr || bitmap == nullptr)
    return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  if (!Lookup(env, bitmap, f))
    return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  jint w = env->GetIntField(bitmap, f->width);
  jint h = env->GetIntField(bitmap, f->height);
  jint format = env->GetIntField(bitmap, f->format);
  uint32_t bpp = BytesPerPixel(format);
  if (w < 0 || h < 0 || bpp == 0 || static_cast<uint64_t>(w) * bpp > UINT32_MAX)
    return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  uint32_t stride = static_cast<uint32_t>(w) * bpp;
  if (f->stride != nullptr) {
    jint padded = env->GetIntField(bitmap, f->stride);
    if (padded != 0 && (padded < 0 || static_cast<uint32_t>(padded) < stride))
      return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
    if (padded != 0)
      stride = static_cast<uint32_t>(padded);
  }
  info->width = static_cast<uint32_t>(w);
  info->height = static_cast<uint32_t>(h);
  info->stride = stride;
  info->format = format;
  info->flags = 0;
  if (f->hardware != nullptr && env->GetBooleanField(bitmap, f->hardware))
    info->flags |= ANDROID_BITMAP_FLAGS_IS_HARDWARE;
  return ANDROID_BITMAP_RESULT_SUCCESS;
}

android::PixelRef* PixelRefOf(JNIEnv* env, jobject bitmap, Fields const& f) {
  if (f.pixelRef == nullptr)
    return nullptr;
  return reinterpret_cast<android::PixelRef*>(
      static_cast<intptr_t>(env->GetLongField(bitmap, f.pixelRef)));
}

void AddLocks(JNIEnv* env, jobject bitmap, Fields const& f, int delta) {
  if (f.lockCount != nullptr)
    env->SetIntField(bitmap, f.lockCount, env->GetIntField(bitmap, f.lockCount) + delta);
}

}  // namespace

extern "C" int AndroidBitmap_getInfo(JNIEnv* env, jobject jbitmap, AndroidBitmapInfo* info) {
  if (info == nullptr)
    return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  Fields f;
  return Describe(env, jbitmap, &f, info);
}

extern "C" int AndroidBitmap_lockPixels(JNIEnv* env, jobject jbitmap, void** addrPtr) {
  Fields f;
  AndroidBitmapInfo info;
  int rc = Describe(env, jbitmap, &f, &info);
  if (rc != ANDROID_BITMAP_RESULT_SUCCESS)
    return rc;
  // As on Android: the pixels of a HARDWARE bitmap are not in reach of the CPU.
  if ((info.flags & ANDROID_BITMAP_FLAGS_IS_HARDWARE) != 0)
    return ANDROID_BITMAP_RESULT_JNI_EXCEPTION;
  void* pixels = nullptr;
  if (android::PixelRef* ref = PixelRefOf(env, jbitmap, f)) {
    void* colorTable = nullptr;
    pixels = ref->onLockPixels(&colorTable);
    if (pixels == nullptr)
      return ANDROID_BITMAP_RESULT_ALLOCATION_FAILED;
  } else {
    jobject buffer = env->GetObjectField(jbitmap, f.buffer);
    if (buffer == nullptr)
      return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
    pixels = env->GetDirectBufferAddress(buffer);
    jlong capacity = env->GetDirectBufferCapacity(buffer);
    env->DeleteLocalRef(buffer);
    // Too small a buffer would let the caller read or write past its end.
    if (pixels == nullptr || capacity < 0 ||
        static_cast<uint64_t>(capacity) < static_cast<uint64_t>(info.stride) * info.height)
      return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  }
  AddLocks(env, jbitmap, f, 1);
  if (addrPtr != nullptr)
    *addrPtr = pixels;
  return ANDROID_BITMAP_RESULT_SUCCESS;
}

extern "C" int AndroidBitmap_unlockPixels(JNIEnv* env, jobject jbitmap) {
  Fields f;
  AndroidBitmapInfo info;
  int rc = Describe(env, jbitmap, &f, &info);
  if (rc != ANDROID_BITMAP_RESULT_SUCCESS)
    return rc;
  if (f.lockCount != nullptr && env->GetIntField(jbitmap, f.lockCount) <= 0)
    return ANDROID_BITMAP_RESULT_BAD_PARAMETER;
  if (android::PixelRef* ref = PixelRefOf(env, jbitmap, f))
    ref->onUnlockPixels();
  AddLocks(env, jbitmap, f, -1);
  return ANDROID_BITMAP_RESULT_SUCCESS;
}

namespace android {

jobject CreateJavaBitmap(JNIEnv* env, int width, int height, int rowBytes, void* pixels,
                         PixelRef* ref) {
  if (env == nullptr || pixels == nullptr || width < 0 || height < 0 || rowBytes != width * 4)
    return nullptr;
  jclass cls = env->FindClass("android/graphics/Bitmap");
  if (cls == nullptr) {
    env->ExceptionClear();
    return nullptr;
  }
  jmethodID ctor = env->GetMethodID(cls, "<init>", "()V");
  jobject bitmap = ctor != nullptr ? env->NewObject(cls, ctor) : nullptr;
  jobject buffer = bitmap != nullptr
                       ? env->NewDirectByteBuffer(pixels, static_cast<jlong>(rowBytes) * height)
                       : nullptr;
  Fields f;
  if (buffer == nullptr || !Lookup(env, bitmap, &f)) {
    env->ExceptionClear();
    if (bitmap != nullptr)
      env->DeleteLocalRef(bitmap);
    env->DeleteLocalRef(cls);
    return nullptr;
  }
  env->SetIntField(bitmap, f.width, width);
  env->SetIntField(bitmap, f.height, height);
  env->SetIntField(bitmap, f.format, ANDROID_BITMAP_FORMAT_RGBA_8888);
  env->SetObjectField(bitmap, f.buffer, buffer);
  if (f.pixelRef != nullptr)
    env->SetLongField(bitmap, f.pixelRef, static_cast<jlong>(reinterpret_cast<intptr_t>(ref)));
  env->DeleteLocalRef(buffer);
  env->DeleteLocalRef(cls);
  return bitmap;
}

void DetachJavaBitmap(JNIEnv* env, jobject bitmap) {
  Fields f;
  if (env == nullptr || bitmap == nullptr || !Lookup(env, bitmap, &f))
    return;
  env->SetObjectField(bitmap, f.buffer, nullptr);
  if (f.pixelRef != nullptr)
    env->SetLongField(bitmap, f.pixelRef, 0);
}

}  // namespace android
