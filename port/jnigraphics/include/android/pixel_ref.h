// Host stand-in for the 2D library's pixel owner and the platform's Java-bitmap factory: a
// Java android.graphics.Bitmap whose pixels belong to native memory. AndroidBitmap_lockPixels
// and AndroidBitmap_unlockPixels on such a bitmap go through its pixel ref, as drawing into an
// Android bitmap locks and unlocks the memory behind it.
#ifndef PORT_ANDROID_PIXEL_REF_H
#define PORT_ANDROID_PIXEL_REF_H

#include <jni.h>

namespace android {

class PixelRef {
 public:
  virtual ~PixelRef() {}
  // The pixel address, or null when the pixels cannot be had. The colour table is always null
  // here.
  virtual void* onLockPixels(void** colorTable) = 0;
  virtual void onUnlockPixels() = 0;
};

// A new local reference to a mutable android.graphics.Bitmap (RGBA_8888) of width x height
// whose mBuffer is a direct buffer over `pixels` (rows of rowBytes = width x 4 bytes) and whose
// locks go to `ref`. Null when the class is missing or Java is out of memory (the exception
// cleared).
jobject CreateJavaBitmap(JNIEnv* env, int width, int height, int rowBytes, void* pixels,
                         PixelRef* ref);
// Cuts a bitmap made above off its memory: no buffer, no pixel ref, so later locks fail.
void DetachJavaBitmap(JNIEnv* env, jobject bitmap);

}  // namespace android

#endif  // PORT_ANDROID_PIXEL_REF_H
