// Host replacement for Android's <android/bitmap.h> (jnigraphics): the same names and result
// codes, working on the test class android.graphics.Bitmap (int mWidth, mHeight, mFormat and a
// direct java.nio.ByteBuffer mBuffer holding the rows; optional int mStride, the bytes from one
// row to the next when not 0 (else width x bytes per pixel), and boolean mHardware, a bitmap
// in GPU memory that describes itself but cannot be locked).
#ifndef PORT_ANDROID_BITMAP_H
#define PORT_ANDROID_BITMAP_H

#include <jni.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
  ANDROID_BITMAP_RESULT_SUCCESS = 0,
  ANDROID_BITMAP_RESULT_BAD_PARAMETER = -1,
  ANDROID_BITMAP_RESULT_JNI_EXCEPTION = -2,
  ANDROID_BITMAP_RESULT_ALLOCATION_FAILED = -3,
};

enum AndroidBitmapFormat {
  ANDROID_BITMAP_FORMAT_NONE = 0,
  ANDROID_BITMAP_FORMAT_RGBA_8888 = 1,
  ANDROID_BITMAP_FORMAT_RGB_565 = 4,
  ANDROID_BITMAP_FORMAT_RGBA_4444 = 7,
  ANDROID_BITMAP_FORMAT_A_8 = 8,
  ANDROID_BITMAP_FORMAT_RGBA_F16 = 9,
  ANDROID_BITMAP_FORMAT_RGBA_1010102 = 10,
};

// AndroidBitmapInfo.flags: a HARDWARE bitmap (API 30).
#define ANDROID_BITMAP_FLAGS_IS_HARDWARE (1u << 31)

typedef struct {
  uint32_t width;
  uint32_t height;
  uint32_t stride;
  int32_t format;
  uint32_t flags;
} AndroidBitmapInfo;

int AndroidBitmap_getInfo(JNIEnv* env, jobject jbitmap, AndroidBitmapInfo* info);
// Locks the pixels in memory; *addrPtr (when addrPtr is not null) receives their address.
int AndroidBitmap_lockPixels(JNIEnv* env, jobject jbitmap, void** addrPtr);
int AndroidBitmap_unlockPixels(JNIEnv* env, jobject jbitmap);

#ifdef __cplusplus
}
#endif

#endif  // PORT_ANDROID_BITMAP_H
