// Streaming textures with a real JVM inside the test (JNI invocation API): Java draws into the
// bitmap over a page texture's graphic buffer, and the next frame shows it.
#include <android/bitmap.h>
#include <gtest/gtest.h>

#include "book/gl_scene.h"
#include "embedded_jvm.h"
#include "gl/gl_streaming_texture.h"
#include "vellix/gl/egl_context_helper.h"

namespace kestrin {
namespace GL {
namespace {

jobject g_bitmaps[4];
int g_returns = 0;

void Collect(jobject* bitmaps) {
  std::copy(bitmaps, bitmaps + 4, g_bitmaps);
  ++g_returns;
}

void OnEnd() {}

uint32_t Center(int w, int h) {
  uint8_t p[4] = {0, 0, 0, 0};
  glReadPixels(w / 2, h / 2, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, p);
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

TEST(StreamingTextureJvmTest, ABitmapChangedInPlaceShowsInTheNextFrame) {
  vellix_demo::EmbeddedJvm jvm;
  ASSERT_TRUE(jvm.Start(VELLIX_JAVA_CLASSES, ".")) << jvm.error();
  JNIEnv* env = jvm.env();
  jclass bitmapClass = jvm.Find("android/graphics/Bitmap");
  ASSERT_NE(nullptr, bitmapClass);
  jmethodID erase = env->GetMethodID(bitmapClass, "eraseColor", "(I)V");
  jmethodID locks = env->GetMethodID(bitmapClass, "getLockCount", "()I");
  ASSERT_NE(nullptr, erase);

  int const w = 32;
  int const h = 24;
  vellix_test::HeadlessGL gl(w, h, true);
  ASSERT_EQ("", gl.error());
  GLScene scene;
  ASSERT_TRUE(scene.Init(w, h, OnEnd));
  ASSERT_TRUE(scene.InitStreamingTextures(w, h, Collect, env, false));
  EXPECT_EQ(1, g_returns);
  ASSERT_NE(nullptr, g_bitmaps[0]);
  ASSERT_NE(nullptr, g_bitmaps[1]);
  ASSERT_NE(nullptr, g_bitmaps[2]);
  EXPECT_EQ(nullptr, g_bitmaps[3]) << "no ink layer";
  // The spare page's bitmap: kept past the book's life by a reference of our own.
  jobject spare = env->NewGlobalRef(g_bitmaps[1]);

  AndroidBitmapInfo info;
  ASSERT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_getInfo(env, spare, &info));
  EXPECT_EQ(static_cast<uint32_t>(w), info.width);
  EXPECT_EQ(static_cast<uint32_t>(h), info.height);
  EXPECT_EQ(static_cast<uint32_t>(w * 4), info.stride);
  EXPECT_EQ(ANDROID_BITMAP_FORMAT_RGBA_8888, info.format);

  // Java draws while the buffer is locked; until the unlock the frame shows the old pixels.
  void* pixels = nullptr;
  ASSERT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_lockPixels(env, spare, &pixels));
  ASSERT_NE(nullptr, pixels);
  GLStreamingTexture* texture =
      static_cast<GLStreamingTexture*>(scene.book->textures[scene.book->slotIndex[3]]);
  EXPECT_TRUE(texture->IsLocked());
  env->CallVoidMethod(spare, erase, static_cast<jint>(0xff20c040));
  ASSERT_FALSE(env->ExceptionCheck());
  scene.SwapPageTexture();  // the spare page becomes the current one
  scene.UpdateAndDraw();
  EXPECT_EQ(0u, Center(w, h)) << "a locked buffer is not sampled half-drawn";
  EXPECT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_unlockPixels(env, spare));
  EXPECT_FALSE(texture->IsLocked());
  scene.UpdateAndDraw();
  EXPECT_EQ(0x20c040ffu, Center(w, h));

  // Changed in place again, without any upload call.
  ASSERT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_lockPixels(env, spare, &pixels));
  env->CallVoidMethod(spare, erase, static_cast<jint>(0xffd02020));
  ASSERT_FALSE(env->ExceptionCheck());
  EXPECT_EQ(ANDROID_BITMAP_RESULT_SUCCESS, AndroidBitmap_unlockPixels(env, spare));
  scene.UpdateAndDraw();
  EXPECT_EQ(0xd02020ffu, Center(w, h));
  EXPECT_EQ(0, env->CallIntMethod(spare, locks));
  ASSERT_FALSE(env->ExceptionCheck());
  EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());

  // A new surface size drops the book and its textures: the bitmap is cut off from the
  // freed buffer, and locking it fails instead of writing into freed memory.
  scene.ResetDimension(w * 2, h);
  EXPECT_GT(0, AndroidBitmap_lockPixels(env, spare, &pixels));
  EXPECT_FALSE(env->ExceptionCheck());
  env->DeleteGlobalRef(spare);
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
