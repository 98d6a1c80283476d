// The renderer's top object: the four shader programs, the book and the light, the camera and
// projection, the conversion of screen pixels into page coordinates, the per-frame update and
// draw, and the zoom animation. Every operation runs on the thread that holds the EGL context,
// except the input forwarders, which touch no GL state.
#ifndef VELLIX_BOOK_GL_SCENE_H
#define VELLIX_BOOK_GL_SCENE_H

#include <EGL/egl.h>
#include <android/bitmap.h>

#include "book/virtual_book.h"
#include "gl/gl_program.h"
#include "gl/light.h"
#include "gl/matrix4.h"

namespace kestrin {
namespace GL {

class GLScene {
 public:
  // Attribute and uniform locations of one program; -1 where the program has none.
  struct Locations {
    int aPosition = -1;
    int aTexCoord = -1;
    int aNormal = -1;
    int aMvp = -1;
    int uShift = -1;
    int sTexture0 = -1;
    int sTexture1 = -1;
    int uAlpha = -1;
    int uLightPos = -1;
    int uKs = -1;
    int uMinDiffuse = -1;
    int uCeilKs = -1;
    int uDiffuseColor = -1;
    int uMargin = -1;
    int uRadius = -1;
  };

  GLScene();
  virtual ~GLScene();
  GLScene(GLScene const&) = delete;
  GLScene& operator=(GLScene const&) = delete;

  // Builds the programs and the book for a width x height surface. False when a program does
  // not build; the scene then only clears the screen. Called again in the same EGL context it
  // keeps the book; in a new context (the old one lost) it first forgets every GL name of the
  // old one without deleting it, and the book keeps its state with textures that have no
  // name until their images are handed in again.
  bool Init(int width, int height, void (*onAnimationEnd)());
  // True when the EGL context current on this thread is the one Init last ran in (the same
  // handle, and the scene's program is still a program there).
  bool OwnsCurrentContext() const;
  // Forgets every GL name (programs and textures) without deleting any.
  void ForgetContext();
  void ResetDimension(int w, int h, bool dual);
  void ResetDimension(int w, int h);
  void SetDualPageMode(bool dual);
  // Screen pixels (y down) to page coordinates (y up).
  void GetBookHitPosition(int px, int py, float* x, float* y);

  void CurlBegin(int px, int py, bool reverse);
  void Curling(int px, int py);
  void CurlEnd(bool flag, long time);
  void TurnPageAnimation(bool reverse, long time);
  void NoteTurnPageAnimation(bool reverse, long time);
  void BouncingCurlAnimation(bool reverse, long time);
  void QuickTipsAnimation(bool reverse, long time);
  void SwapPageTexture();
  void SwapInkTexture();
  void SetSpecular(float v);
  bool InitStreamingTextures(int w, int h, void (*callback)(jobject*), JNIEnv* env, bool ink);

  void SetPageImage(void* pixels, int index, int w, int h, AndroidBitmapFormat format, bool show);
  void SetBlankImage(void* pixels, int w, int h, AndroidBitmapFormat format);
  void SetBorderImage(void* pixels, int w, int h, AndroidBitmapFormat format);
  void SetLeftPageImage(void* pixels, int w, int h, AndroidBitmapFormat format);
  void SetBackgroundImage(void* pixels, int w, int h, AndroidBitmapFormat format);
  void SetQuickFlipImage(void* pixels, int w, int h, AndroidBitmapFormat format, bool next);
  void QuickFlip(int, bool, long);
  void ZoomBook(int, int, int, int, float);
  jobject GetQuickFlipImage(bool next);

  // direction 1: screen to book pixels; -1: book to screen; otherwise unchanged.
  void GetTransformedCoordinate(int x, int y, int direction, int* ox, int* oy);
  void SetVisible(bool v);
  void SetPageBackgroundColor(int r, int g, int b, int a);
  void SetRightMargin(int px);
  void ZoomBook(float zoom);
  void ZoomAnimation(float targetZoom, float targetAlpha, long duration);
  // 1 once when the zoom animation has run out, else 0.
  int UpdateZoom(long ms);

  // The book's frame result (see CVirtualBook::Update), 0 when hidden or without a book.
  int Update();
  // One frame; 1 when a book exists.
  int Draw();
  // Update, Draw, and the end-of-animation callback when an animation ended. Returns 0.
  int UpdateAndDraw();

  CVirtualBook* book;
  CLight* light;
  float aspect;
  float bookHeight;
  float cameraDistance;
  int screenWidth;
  int screenHeight;
  int offsetX;
  int offsetY;
  int bookPixelWidth;
  int bookPixelHeight;
  float pixelScale;
  void (*onAnimationEnd)();
  GLProgram* simpleProgram;
  GLProgram* litProgram;
  GLProgram* shadowProgram;
  GLProgram* inkProgram;
  Locations simple;
  Locations lit;
  Locations shadow;
  Locations ink;
  Matrix4 view;
  Matrix4 projection;
  Matrix4 model;
  Matrix4 normalMatrix;
  Matrix4 mvp;
  GLint framebuffer;
  bool visible;
  float zoomRemaining;
  float zoomValue;
  float alpha;
  float zoomVelocity;
  float zoomAcceleration;
  float alphaVelocity;
  float alphaAcceleration;
  bool zooming;
  bool zoomFirstFrame;
  // Programs built: without them nothing but the clear is drawn.
  bool ready;
  // The context of the last Init, EGL_NO_CONTEXT before it.
  EGLContext glContext;
  int frameCount;
  long long frameMicros;

 private:
  GLProgram* Build(char const* vertex, char const* fragment, Locations* at);
  void Use(GLProgram const* program, Locations const& at);
  void PlacePages(float z);
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_BOOK_GL_SCENE_H
