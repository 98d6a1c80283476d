// The book on screen: the page meshes, the ring of page textures and its rotation when a page
// turns, the decoration pages (border, left and right partial pages, shadow), the drag state
// and the entry points of the page-turn animations. Owned by the scene, which converts screen
// pixels to page coordinates, runs it once per frame and tells it what to draw with which
// program.
#ifndef VELLIX_BOOK_VIRTUAL_BOOK_H
#define VELLIX_BOOK_VIRTUAL_BOOK_H

#include <android/bitmap.h>

#include "gl/gl_texture.h"
#include "page/border_page.h"
#include "page/dual_turn_page.h"
#include "page/partial_page.h"
#include "page/shadow_page.h"
#include "page/turn_page.h"

namespace kestrin {
namespace GL {

class CVirtualBook {
 public:
  // Slots of slotIndex.
  enum { kPrevious = 0, kCurrent = 1, kNext = 2, kSpare = 3 };

  // width and height of the screen's book in scene units (height 1.0); dual halves the width
  // into two pages either side of the spine. The third value is not used.
  CVirtualBook(float width, float height, float, bool dual);
  virtual ~CVirtualBook();
  CVirtualBook(CVirtualBook const&) = delete;
  CVirtualBook& operator=(CVirtualBook const&) = delete;

  // Turns the texture ring by delta pages and reassigns the page textures.
  void ChangePage(int delta, bool = false);
  void ShiftIndex(int n);
  void ShiftTexture(int n);
  void SwapPageTexture();
  void SwapInkTexture();
  // index -1 previous, 0 current, 1 next page. False for any other index or size.
  bool LoadPageTexture(void* pixels, int index, int w, int h, AndroidBitmapFormat format);
  void SetTexture(void* pixels, int w, int h, AndroidBitmapFormat format, GLTexture** target);
  void SetBlankImage(void* pixels, int w, int h, AndroidBitmapFormat format);
  void SetBorderImage(void* pixels, int w, int h, AndroidBitmapFormat format);
  void SetLeftPageImage(void* pixels, int w, int h, AndroidBitmapFormat format);
  // Page textures the Java side draws into directly. False when a texture cannot be made.
  bool InitStreamingTextures(int w, int h, void (*callback)(jobject*), JNIEnv* env, bool ink);
  void GetJavaBitmapOfTextures(jobject out[4]);
  void ReturnJavaBitmaps();
  void ResetLocks();

  void SetPagePosition(float x, float y, float z);
  void SetCoverPosition(float x, float y, float z);
  void SetPageBackgroundColor(float r, float g, float b, float a);
  void SetSpecular(float v);
  void SetDualPageMode(bool dual);
  bool CheckTurnable() const;

  void DrawBackgroundPages(int uShift, int aPosition, int aTexCoord);
  void DrawFlatPage(int uShift, int aPosition, int aTexCoord);
  void DrawCurlPage(int uShift, int aPosition, int aTexCoord, int uAlpha, int aNormal, int uKs,
                    int uMinDiffuse, int uCeilKs);
  void DrawShadow(int uShift, int aPosition, int aTexCoord);
  // The still picture; sTexture1 >= 0 adds the ink layer on texture unit 1.
  void Draw2D(int uShift, int aPosition, int aTexCoord, int sTexture0, int sTexture1);

  // Drag and animation entry points, in page coordinates.
  void CurlBegin(float x, float y, bool reverse);
  void Curling(float x, float y);
  void CurlEnd(bool flag, long time);
  void BouncingCurlAnimation(bool reverse, long time);
  void TurnPageAnimation(bool reverse, long time);
  void NoteTurnPageAnimation(bool reverse, long time);
  void QuickTipsTurnPageAnimation(bool reverse, long time);

  // One frame: 0 idle or running, -1 an animation chained into the next, 1 the page turned
  // over, 2 finished otherwise, 3 the page fell back.
  int Update(long ms);

  // Takes over `old`'s textures (and their Java bitmaps), its texture ring, its current page and
  // the state of any drag or animation, for a new size: x coordinates are scaled by the ratio
  // of the page widths. Both books must have the same mode. `old` keeps no texture and can be
  // deleted without touching GL.
  void AdoptFrom(CVirtualBook* old);
  // The GL context that made the textures is gone: every texture forgets its name without
  // deleting it (the names may already belong to a new context).
  void ForgetContext();

  // Milliseconds since the frame timer was last restarted, 0 before the first restart.
  long FrameMilliseconds() const;
  void RestartFrameTimer();

  CTurnPage* turnPage;
  CTurnPage* pages[3];
  int pageCount;
  GLTexture* textures[4];
  GLTexture* inkTextures[2];
  int slotIndex[4];
  int inkIndex;
  bool dualPage;
  int ringIndex;
  GLTexture* blankTexture;
  GLTexture* borderTexture;
  GLTexture* leftPageTexture;
  CBorderPage* borderPage;
  CPartialPage* leftPage;
  CPartialPage* rightPage;
  CShadowPage* shadowPage;
  bool rightPageVisible;
  float zoom;
  PointF curPoint;
  PointF startPoint;
  bool curling;
  float width;
  float height;
  float pageShift[4];
  float coverShift[4];
  float backgroundShift[4];
  float shadowShift[4];
  bool reverse;
  bool pageChanged;
  bool idle;
  long long frameStartMicros;
  bool frameTimerValid;
  bool inkEnabled;
  float margin;
  bool streaming;
  void (*javaCallback)(jobject*);
  GLTexture* dummyTexture;
  bool shadowVisible;

 private:
  // Points the faces of every page mesh that show `old` at `now` instead, so that no mesh
  // keeps a texture that is about to be deleted.
  void ReplaceTexture(GLTexture* old, GLTexture* now);
  void AssignPageTextures(bool clearRight);
  void ShowOnBothFaces(CVirtualPage* page, GLTexture* texture);
  void RunAnimation(int kind, float x0, float y0, float x1, float y1, long time);
  GLTexture* SlotTexture(int slot) const;
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_BOOK_VIRTUAL_BOOK_H
