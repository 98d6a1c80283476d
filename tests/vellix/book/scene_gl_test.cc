#include <android/bitmap.h>
#include <gtest/gtest.h>
#include <math.h>
#include <sys/mman.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "book/gl_scene.h"
#include "book/virtual_book.h"
#include "vellix/book/picture_helper.h"
#include "vellix/gl/egl_context_helper.h"

namespace kestrin {
namespace GL {
namespace {

using vellix_test::HeadlessGL;
using vellix_test::MatchesReference;
using vellix_test::PixelAt;
using vellix_test::ReadSurface;

int g_ends = 0;
void OnEnd() {
  ++g_ends;
}

// RGBA pixels of a two-page spread: each half its own paper, lines of text and a block in an
// outer corner, so that halves, sides and orientation show.
std::vector<uint8_t> Spread(int w, int h, uint32_t left, uint32_t right) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  auto put = [&](int x, int y, uint32_t c) {
    uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
    p[0] = static_cast<uint8_t>(c >> 24);
    p[1] = static_cast<uint8_t>(c >> 16);
    p[2] = static_cast<uint8_t>(c >> 8);
    p[3] = static_cast<uint8_t>(c);
  };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      bool isLeft = x < w / 2;
      uint32_t c = isLeft ? left : right;
      int lx = isLeft ? x : x - w / 2;
      if (y % 14 >= 11 && y > 30 && y < h - 30 && lx > 12 && lx < w / 2 - 12 - (y * 7) % 40)
        c = 0x202840ff;
      if (isLeft && x < 28 && y < 28)
        c = 0x2040d0ff;
      if (!isLeft && x >= w - 28 && y >= h - 28)
        c = 0xc020c0ff;
      put(x, y, c);
    }
  }
  return px;
}

uint32_t Channel(uint32_t c, int shift) {
  return (c >> shift) & 0xff;
}

// Largest colour channel difference, alpha left out.
int Distance(uint32_t a, uint32_t b) {
  int d = 0;
  for (int s = 8; s < 32; s += 8)
    d = std::max(d, abs(static_cast<int>(Channel(a, s)) - static_cast<int>(Channel(b, s))));
  return d;
}

TEST(SceneGLTest, TwoPageModeShowsBothHalvesStillAndCurling) {
  int const w = 320;
  int const h = 240;
  HeadlessGL gl(w, h, true);
  ASSERT_EQ("", gl.error());
  GLScene scene;
  ASSERT_TRUE(scene.Init(w, h, OnEnd));
  scene.SetDualPageMode(true);
  ASSERT_TRUE(scene.book->dualPage);
  std::vector<uint8_t> current = Spread(w, h, 0xf0d8d0ff, 0xd8f0d8ff);
  std::vector<uint8_t> next = Spread(w, h, 0xd8e0f8ff, 0xf8f0c8ff);
  scene.SetPageImage(current.data(), 0, w, h, ANDROID_BITMAP_FORMAT_RGBA_8888, true);
  scene.SetPageImage(next.data(), 1, w, h, ANDROID_BITMAP_FORMAT_RGBA_8888, true);
  scene.UpdateAndDraw();
  std::vector<uint8_t> still = ReadSurface(w, h);
  EXPECT_TRUE(MatchesReference("two_page", w, h, still));
  // The left half of the spread left of the spine, the right half right of it, upright.
  int const probes[][2] = {{5, 5}, {150, 120}, {170, 120}, {315, 235}, {40, 200}, {280, 20}};
  for (auto const& p : probes)
    EXPECT_LE(Distance(PixelAt(current, w, p[0], p[1]), PixelAt(still, w, p[0], p[1])), 2)
        << p[0] << "," << p[1];

  // A forward drag on the right page: the right page curls over the spine.
  scene.CurlBegin(w - 4, h - 4, true);
  for (int i = 1; i <= 6; ++i) {
    scene.Curling(w - 4 - i * 18, h - 4 - i * 14);
    scene.UpdateAndDraw();
  }
  std::vector<uint8_t> curl = ReadSurface(w, h);
  EXPECT_TRUE(MatchesReference("two_page_curl", w, h, curl));
  // The left page is untouched; the right one's corner is lifted off the next spread.
  EXPECT_LE(Distance(PixelAt(current, w, 40, 200), PixelAt(curl, w, 40, 200)), 2);
  EXPECT_LE(Distance(PixelAt(next, w, 300, 225), PixelAt(curl, w, 300, 225)), 2);
  EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());
}

TEST(SceneGLTest, DimensionsVisibilityCoordinatesAndZoom) {
  HeadlessGL gl(64, 48, true);
  ASSERT_EQ("", gl.error());
  GLScene scene;
  ASSERT_TRUE(scene.Init(64, 48, OnEnd));
  CVirtualBook* book = scene.book;
  ASSERT_NE(nullptr, book);
  scene.ResetDimension(64, 48);
  EXPECT_EQ(book, scene.book) << "same size and mode keep the book";
  scene.ResetDimension(0, 48);
  scene.ResetDimension(64, -1);
  EXPECT_EQ(book, scene.book) << "a surface without area changes nothing";
  EXPECT_EQ(64, scene.screenWidth);
  scene.SetDualPageMode(true);
  ASSERT_NE(nullptr, scene.book);
  EXPECT_TRUE(scene.book->dualPage);
  scene.ResetDimension(48, 64);
  EXPECT_TRUE(scene.book->dualPage) << "a new size keeps the mode";
  EXPECT_FLOAT_EQ(0.375f, scene.book->width);
  scene.SetDualPageMode(false);
  scene.ResetDimension(64, 48);

  int x = 0;
  int y = 0;
  scene.GetTransformedCoordinate(17, 23, 0, &x, &y);
  EXPECT_EQ(17, x);
  EXPECT_EQ(23, y);
  for (int direction : {1, -1}) {
    scene.GetTransformedCoordinate(17, 23, direction, &x, &y);
    EXPECT_EQ(17, x) << "scale 1, direction " << direction;
    EXPECT_EQ(23, y);
  }
  float px = 0;
  float py = 0;
  scene.GetBookHitPosition(64, 0, &px, &py);
  EXPECT_FLOAT_EQ(scene.book->width, px);
  EXPECT_FLOAT_EQ(1.0f, py);

  std::vector<uint8_t> white(64 * 48 * 4, 255);
  scene.SetPageImage(white.data(), 0, 64, 48, ANDROID_BITMAP_FORMAT_RGBA_8888, true);
  scene.UpdateAndDraw();
  EXPECT_EQ(0xffffffffu, PixelAt(ReadSurface(64, 48), 64, 32, 24));
  scene.SetVisible(false);
  scene.book->idle = false;
  EXPECT_EQ(0, scene.Update()) << "hidden: no update";
  EXPECT_EQ(1, scene.Draw());
  EXPECT_EQ(0u, PixelAt(ReadSurface(64, 48), 64, 32, 24)) << "hidden: only the clear";
  scene.book->idle = true;
  scene.SetPageImage(white.data(), 0, 64, 48, ANDROID_BITMAP_FORMAT_RGBA_8888, true);
  EXPECT_TRUE(scene.visible);

  // Zoom: the animation runs its course, ends at zoom 1 and alpha 1, and says so once.
  scene.ZoomAnimation(0.8f, 0.5f, 10);
  int done = 0;
  bool moved = false;
  for (int frame = 0; frame < 100 && scene.zooming; ++frame) {
    done += scene.UpdateZoom(33);
    moved = moved || scene.book->zoom != 1.0f;
  }
  EXPECT_TRUE(moved);
  EXPECT_EQ(1, done);
  EXPECT_FALSE(scene.zooming);
  EXPECT_EQ(1.0f, scene.alpha);
  EXPECT_EQ(1.0f, scene.book->zoom);
  for (float bad : {0.0f, -2.0f, NAN, INFINITY}) {
    scene.ZoomBook(bad);
    EXPECT_EQ(1.0f, scene.book->zoom) << bad;
    EXPECT_TRUE(isfinite(scene.book->pageShift[2]));
  }
  EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());
}

// Pixels whose last byte ends a readable page: reading one byte further faults.
class GuardedPixels {
 public:
  explicit GuardedPixels(size_t bytes) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = (bytes + page - 1) / page * page + page;
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + size_ - page, page, PROT_NONE);
    data_ = base_ + size_ - page - bytes;
  }
  ~GuardedPixels() { munmap(base_, size_); }
  uint8_t* data() { return data_; }

 private:
  uint8_t* base_;
  uint8_t* data_;
  size_t size_;
};

TEST(SceneGLTest, EveryBitmapFormatIsReadWithinItsPixels) {
  // Odd widths: rows of 2-byte pixels are not 4-byte aligned.
  int const w = 13;
  int const h = 7;
  HeadlessGL gl(26, 14, true);
  ASSERT_EQ("", gl.error());
  GLScene scene;
  ASSERT_TRUE(scene.Init(26, 14, OnEnd));
  struct Case {
    AndroidBitmapFormat format;
    int bpp;
    uint8_t pixel[4];
    uint32_t shown;
  } const cases[] = {
      {ANDROID_BITMAP_FORMAT_RGBA_8888, 4, {0x10, 0xf0, 0x20, 0xff}, 0x10f020ff},
      {ANDROID_BITMAP_FORMAT_RGB_565, 2, {0x00, 0xf8}, 0xff0000ff},    // red
      {ANDROID_BITMAP_FORMAT_RGBA_4444, 2, {0xff, 0x00}, 0x0000ffff},  // blue, opaque
      {ANDROID_BITMAP_FORMAT_A_8, 1, {0xff}, 0x000000ff},
  };
  for (Case const& c : cases) {
    GuardedPixels px(static_cast<size_t>(w) * h * c.bpp);
    for (int i = 0; i < w * h; ++i)
      std::copy(c.pixel, c.pixel + c.bpp, px.data() + i * c.bpp);
    scene.SetPageImage(px.data(), 0, w, h, c.format, true);
    scene.UpdateAndDraw();
    uint32_t shown = PixelAt(ReadSurface(26, 14), 26, 13, 7);
    EXPECT_LE(Distance(c.shown, shown), 1) << "format " << c.format << ": " << std::hex << shown;
  }
  EXPECT_EQ(static_cast<GLenum>(GL_NO_ERROR), glGetError());
}

// Every face of every page mesh shows a texture the book still owns (or none).
void ExpectLiveFaces(CVirtualBook const& book, char const* when) {
  std::set<GLTexture const*> live = {nullptr, book.blankTexture, book.borderTexture,
                                     book.leftPageTexture};
  for (GLTexture const* t : book.textures)
    live.insert(t);
  for (CTurnPage const* p : book.pages) {
    if (p == nullptr)
      continue;
    EXPECT_TRUE(live.count(p->frontTexture)) << when;
    EXPECT_TRUE(live.count(p->backTexture)) << when;
  }
}

TEST(VirtualBookGLTest, TextureRingKeepsEveryFaceOnALiveTexture) {
  HeadlessGL gl(16, 16);
  ASSERT_EQ("", gl.error());
  std::vector<uint8_t> px(4 * 4 * 4, 200);
  for (bool dual : {false, true}) {
    CVirtualBook book(1.5f, 1.0f, 0.0f, dual);
    for (int index : {-1, 0, 1})
      EXPECT_TRUE(book.LoadPageTexture(px.data(), index, 4, 4, ANDROID_BITMAP_FORMAT_RGBA_8888));
    GLTexture* before[4];
    std::copy(book.textures, book.textures + 4, before);
    EXPECT_FALSE(book.LoadPageTexture(px.data(), 2, 4, 4, ANDROID_BITMAP_FORMAT_RGBA_8888));
    EXPECT_TRUE(std::equal(before, before + 4, book.textures)) << "index 2 changes nothing";
    // Turns forward and back, each followed by fresh images for the three slots.
    for (int delta : {1, 1, -1, 1, -1, -1}) {
      book.ChangePage(delta);
      ExpectLiveFaces(book, "after ChangePage");
      for (int index : {-1, 0, 1}) {
        ASSERT_TRUE(book.LoadPageTexture(px.data(), index, 4, 4, ANDROID_BITMAP_FORMAT_RGBA_8888));
        ExpectLiveFaces(book, "after LoadPageTexture");
        GLTexture* loaded = book.textures[book.slotIndex[index + 1]];
        if (dual) {
          EXPECT_EQ(loaded, book.pages[index + 1]->frontTexture) << delta << " " << index;
          EXPECT_EQ(loaded, book.pages[(index + 3) % 3]->backTexture) << delta << " " << index;
        } else if (index >= 0) {
          EXPECT_EQ(loaded, book.pages[index]->frontTexture);
        }
      }
    }
    book.ShiftIndex(1);
    book.ShiftIndex(-1);
    book.SetBlankImage(px.data(), 4, 4, ANDROID_BITMAP_FORMAT_RGBA_8888);
    book.SetBlankImage(px.data(), 4, 4, ANDROID_BITMAP_FORMAT_RGBA_8888);
    ExpectLiveFaces(book, "after a second blank image");
  }
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
