#include "book/virtual_book.h"

#include <math.h>
#include <time.h>

#include <initializer_list>

#include "gl/gl_streaming_texture.h"

namespace kestrin {
namespace GL {

namespace {

struct PixelLayout {
  unsigned internalFormat;
  unsigned format;
  unsigned type;
};

PixelLayout LayoutOf(AndroidBitmapFormat f) {
  switch (f) {
    case ANDROID_BITMAP_FORMAT_RGBA_8888:
      return {GL_RGBA, GL_RGBA, GL_UNSIGNED_BYTE};
    case ANDROID_BITMAP_FORMAT_RGB_565:
      return {GL_RGB, GL_RGB, GL_UNSIGNED_SHORT_5_6_5};
    // Two bytes and one byte per pixel: read as three-byte RGB they would be read past their
    // end.
    case ANDROID_BITMAP_FORMAT_RGBA_4444:
      return {GL_RGBA, GL_RGBA, GL_UNSIGNED_SHORT_4_4_4_4};
    case ANDROID_BITMAP_FORMAT_A_8:
      return {GL_ALPHA, GL_ALPHA, GL_UNSIGNED_BYTE};
    default:
      return {GL_RGB, GL_RGB, GL_UNSIGNED_BYTE};
  }
}

// A texture holding the bitmap, or null for an empty size. Bitmap rows are packed (stride =
// width x bytes per pixel), so the upload reads them unpadded.
GLTexture* NewTexture(void* pixels, int w, int h, AndroidBitmapFormat format) {
  if (w <= 0 || h <= 0)
    return nullptr;
  PixelLayout l = LayoutOf(format);
  GLint alignment = 4;
  glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  GLTexture* t = new GLTexture();
  t->Init(static_cast<unsigned>(w), static_cast<unsigned>(h), static_cast<unsigned char*>(pixels),
          l.internalFormat, l.format, l.type);
  glPixelStorei(GL_UNPACK_ALIGNMENT, alignment);
  return t;
}

int Mod3(int v) {
  return ((v % 3) + 3) % 3;
}

long long NowMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

void SetVec4(float* v, float x, float y, float z) {
  v[0] = x;
  v[1] = y;
  v[2] = z;
  v[3] = 0.0f;
}

}  // namespace

CVirtualBook::CVirtualBook(float width_, float height_, float, bool dual)
    : turnPage(nullptr),
      pages{nullptr, nullptr, nullptr},
      pageCount(dual ? 3 : 2),
      textures{nullptr, nullptr, nullptr, nullptr},
      inkTextures{nullptr, nullptr},
      slotIndex{0, 1, 2, 3},
      inkIndex(0),
      dualPage(dual),
      ringIndex(1),
      blankTexture(nullptr),
      borderTexture(nullptr),
      leftPageTexture(nullptr),
      borderPage(nullptr),
      leftPage(nullptr),
      rightPage(nullptr),
      shadowPage(nullptr),
      rightPageVisible(false),
      zoom(1.0f),
      curPoint{0.0f, 0.0f},
      startPoint{0.0f, 0.0f},
      curling(false),
      width(dual ? width_ * 0.5f : width_),
      height(height_),
      pageShift{},
      coverShift{},
      backgroundShift{},
      shadowShift{},
      reverse(false),
      pageChanged(true),
      idle(true),
      frameStartMicros(0),
      frameTimerValid(false),
      inkEnabled(false),
      margin(0.939f),
      streaming(false),
      javaCallback(nullptr),
      dummyTexture(nullptr),
      shadowVisible(true) {
  int const k = (height < width || dual) ? 48 : 24;
  // A degenerate size still gets a grid the page mesh accepts (it falls back to one cell).
  double r = ceil(static_cast<double>(k) * height / width);
  int const rows = (r >= 1.0 && r < 65536.0) ? static_cast<int>(r) : 65536;
  if (!dual) {
    pages[0] = new CTurnPage(width, height, rows, k);
    pages[1] = new CTurnPage(width, height, rows, k);
    turnPage = pages[0];
  } else {
    pages[0] = new CDualTurnPage(width, height, 1, 1);
    pages[1] = new CDualTurnPage(width, height, rows, k);
    pages[2] = new CDualTurnPage(width, height, 1, 1);
    pages[0]->TurnSide(-1);
    turnPage = pages[1];
    pages[2]->side = 1;
  }
  borderPage =
      new CBorderPage(dual ? 2.0f * width : width, height, 0.96f, 1.0f, 0.0f, 1.0f, dual ? 0 : 1);
  leftPage = new CPartialPage(width, height, 0.0f, 1.0f, 0.0f, 1.0f, -1);
  rightPage = new CPartialPage(width, height, 0.96f, 1.0f, 0.0f, 1.0f, 1);
  shadowPage = new CShadowPage(width, height, 1, 1);
  shadowPage->turnPage = turnPage;
  if (dual)
    shadowPage->lightPoint[2] *= 0.6f;
  ChangePage(0);
}

CVirtualBook::~CVirtualBook() {
  for (CTurnPage* p : pages)
    delete p;
  for (GLTexture* t : textures)
    delete t;
  delete blankTexture;
  delete borderTexture;
  delete leftPageTexture;
  delete borderPage;
  delete leftPage;
  delete rightPage;
  delete shadowPage;
  for (GLTexture* t : inkTextures)
    delete t;
  delete dummyTexture;
}

GLTexture* CVirtualBook::SlotTexture(int slot) const {
  int i = slotIndex[slot];
  return (i >= 0 && i < 4) ? textures[i] : nullptr;
}

void CVirtualBook::ShowOnBothFaces(CVirtualPage* page, GLTexture* texture) {
  if (page == nullptr)
    return;
  page->frontTexture = texture;
  page->backTexture = texture;
}

void CVirtualBook::ReplaceTexture(GLTexture* old, GLTexture* now) {
  if (old == nullptr)
    return;
  CVirtualPage* const meshes[] = {pages[0], pages[1],  pages[2],  borderPage,
                                  leftPage, rightPage, shadowPage};
  for (CVirtualPage* m : meshes) {
    if (m == nullptr)
      continue;
    if (m->frontTexture == old)
      m->frontTexture = now;
    if (m->backTexture == old)
      m->backTexture = now;
  }
}

void CVirtualBook::AssignPageTextures(bool clearRight) {
  if (!dualPage) {
    ShowOnBothFaces(pages[0], SlotTexture(kCurrent));
    ShowOnBothFaces(pages[1], blankTexture);
    return;
  }
  pages[0]->frontTexture = SlotTexture(kPrevious);
  pages[2]->backTexture = SlotTexture(kPrevious);
  pages[0]->backTexture = SlotTexture(kCurrent);
  pages[1]->frontTexture = SlotTexture(kCurrent);
  pages[1]->backTexture = SlotTexture(kNext);
  pages[2]->frontTexture = SlotTexture(kNext);
  if (clearRight) {
    pages[2]->frontTexture = nullptr;
    pages[2]->backTexture = nullptr;
  }
}

void CVirtualBook::ChangePage(int delta, bool) {
  if (delta > 0) {
    turnPage->mirror = 1;
    turnPage->SetShape(width, height);
  }
  ringIndex = Mod3(ringIndex + delta);
  ShiftIndex(delta);
  AssignPageTextures(delta != 0);
  pageChanged = true;
  zoom = 1.0f;
  ReturnJavaBitmaps();
}

void CVirtualBook::ShiftIndex(int n) {
  for (; n > 0; --n) {
    int s0 = slotIndex[0];
    slotIndex[0] = slotIndex[1];
    slotIndex[1] = slotIndex[2];
    slotIndex[2] = s0;
  }
  for (; n < 0; ++n) {
    int s2 = slotIndex[2];
    slotIndex[2] = slotIndex[1];
    slotIndex[1] = slotIndex[0];
    slotIndex[0] = s2;
  }
}

void CVirtualBook::ShiftTexture(int n) {
  for (CTurnPage* p : pages)
    ShowOnBothFaces(p, blankTexture);
  ringIndex = Mod3(ringIndex + n);
  ShowOnBothFaces(pages[0], textures[ringIndex]);
  ReturnJavaBitmaps();
}

void CVirtualBook::SwapPageTexture() {
  int s1 = slotIndex[kCurrent];
  slotIndex[kCurrent] = slotIndex[kSpare];
  slotIndex[kSpare] = s1;
  if (!dualPage) {
    ShowOnBothFaces(pages[0], SlotTexture(kCurrent));
    ShowOnBothFaces(pages[1], SlotTexture(kNext));
  } else {
    AssignPageTextures(false);
  }
  ResetLocks();
}

void CVirtualBook::SwapInkTexture() {
  if (!inkEnabled)
    return;
  rightPageVisible = false;
  inkIndex = (inkIndex + 1) % 2;
}

bool CVirtualBook::LoadPageTexture(void* pixels, int index, int w, int h,
                                   AndroidBitmapFormat format) {
  if (index < -1 || index > 1)
    return false;
  GLTexture* t = NewTexture(pixels, w, h, format);
  if (t == nullptr)
    return false;
  int const slot = index + 1;
  int const s = Mod3(ringIndex + index);
  GLTexture* old = textures[s];
  textures[s] = t;
  // Faces that showed the old image show the new one; none is left pointing at freed memory.
  ReplaceTexture(old, t);
  delete old;
  GLTexture* shown = SlotTexture(slot);
  if (!dualPage) {
    if (index >= 0)
      ShowOnBothFaces(pages[index], shown);
  } else {
    // The sheet whose front shows this slot, and the one before it whose back does.
    pages[slot]->frontTexture = shown;
    pages[(slot + 2) % 3]->backTexture = shown;
  }
  return true;
}

void CVirtualBook::SetTexture(void* pixels, int w, int h, AndroidBitmapFormat format,
                              GLTexture** target) {
  if (target == nullptr)
    return;
  GLTexture* t = NewTexture(pixels, w, h, format);
  if (t == nullptr)
    return;
  GLTexture* old = *target;
  *target = t;
  ReplaceTexture(old, t);
  delete old;
}

void CVirtualBook::SetBlankImage(void* pixels, int w, int h, AndroidBitmapFormat format) {
  SetTexture(pixels, w, h, format, &blankTexture);
}

void CVirtualBook::SetBorderImage(void* pixels, int w, int h, AndroidBitmapFormat format) {
  SetTexture(pixels, w, h, format, &borderTexture);
  borderPage->frontTexture = borderTexture;
}

void CVirtualBook::SetLeftPageImage(void* pixels, int w, int h, AndroidBitmapFormat format) {
  SetTexture(pixels, w, h, format, &leftPageTexture);
  leftPage->frontTexture = leftPageTexture;
}

bool CVirtualBook::InitStreamingTextures(int w, int h, void (*callback)(jobject*), JNIEnv* env,
                                         bool ink) {
  if (w <= 0 || h <= 0)
    return false;
  bool ok = true;
  auto make = [&](int tw, int th, GLTexture** slot) {
    GLStreamingTexture* t = new GLStreamingTexture();
    if (!t->Init(tw, th) || t->CreateBitmapFromTexture(env) == nullptr)
      ok = false;
    GLTexture* old = *slot;
    *slot = t;
    ReplaceTexture(old, t);
    delete old;
  };
  streaming = true;
  javaCallback = callback;
  inkEnabled = ink;
  make(1, 1, &dummyTexture);
  for (GLTexture*& t : textures)
    make(w, h, &t);
  if (ink) {
    for (GLTexture*& t : inkTextures)
      make(w, h, &t);
  }
  AssignPageTextures(false);
  ReturnJavaBitmaps();
  return ok;
}

void CVirtualBook::GetJavaBitmapOfTextures(jobject out[4]) {
  GLTexture* const t[3] = {SlotTexture(kPrevious), SlotTexture(kSpare), SlotTexture(kNext)};
  for (int i = 0; i < 3; ++i)
    out[i] = t[i] != nullptr ? t[i]->GetJavaBitmap() : nullptr;
  GLTexture* hidden = inkTextures[(inkIndex + 1) % 2];
  out[3] = (inkEnabled && hidden != nullptr) ? hidden->GetJavaBitmap() : nullptr;
}

void CVirtualBook::ReturnJavaBitmaps() {
  if (!streaming)
    return;
  ResetLocks();
  jobject out[4];
  GetJavaBitmapOfTextures(out);
  if (javaCallback != nullptr)
    javaCallback(out);
}

void CVirtualBook::ResetLocks() {
  if (!streaming || dummyTexture == nullptr)
    return;
  void* dummy = dummyTexture->GetEGLImage();
  for (GLTexture* t : textures) {
    if (t != nullptr)
      t->Bind(dummy);
  }
  GLTexture* shown = inkTextures[inkIndex];
  GLTexture* other = inkTextures[(inkIndex + 1) % 2];
  if (inkEnabled && shown != nullptr && other != nullptr)
    shown->Bind(other->GetEGLImage());
  glBindTexture(GL_TEXTURE_2D, 0);
}

void CVirtualBook::SetPagePosition(float x, float y, float z) {
  SetVec4(pageShift, x, y, z);
  SetVec4(backgroundShift, dualPage ? x - width : x, y, z);
  SetVec4(shadowShift, x, pageShift[1], pageShift[2]);
}

void CVirtualBook::SetCoverPosition(float x, float y, float z) {
  SetVec4(coverShift, x, y, z);
}

void CVirtualBook::SetPageBackgroundColor(float r, float g, float b, float a) {
  for (CTurnPage* p : pages) {
    if (p == nullptr)
      continue;
    p->backTint[0] = r;
    p->backTint[1] = g;
    p->backTint[2] = b;
    p->backTint[3] = a;
  }
}

void CVirtualBook::SetSpecular(float v) {
  pages[0]->backDiffuse = v;
}

void CVirtualBook::SetDualPageMode(bool dual) {
  dualPage = dual;
}

bool CVirtualBook::CheckTurnable() const {
  return !turnPage->curlFlag;
}

// ---------------------------------------------------------------------------------------------
// Drawing

void CVirtualBook::DrawBackgroundPages(int uShift, int aPosition, int aTexCoord) {
  glUniform4fv(uShift, 1, backgroundShift);
  if (borderTexture != nullptr)
    borderPage->Draw(aPosition, aTexCoord);
  if (leftPageTexture != nullptr && zoom < 1.0f && !dualPage)
    leftPage->Draw(aPosition, aTexCoord);
  if (rightPageVisible)
    rightPage->Draw(aPosition, aTexCoord);
  glUniform4fv(uShift, 1, pageShift);
  glCullFace(GL_BACK);
  if (!dualPage) {
    // Only the part of the next page that the curl uncovers.
    if (!idle)
      pages[1]->DrawByArray(aPosition, aTexCoord, &pages[1]->vertices, &pages[1]->texCoords,
                            &turnPage->curlIndices, turnPage->curlIndexCount);
    if (borderTexture != nullptr)
      pages[1]->DrawByArray(aPosition, aTexCoord, &borderPage->vertices, &borderPage->texCoords,
                            &borderPage->indices, borderPage->indexCount);
  } else if (!idle) {
    pages[0]->DrawFlat(aPosition, aTexCoord);
    pages[2]->DrawFlat(aPosition, aTexCoord);
  } else if (borderTexture != nullptr) {
    pages[2]->DrawFlat(aPosition, aTexCoord);
  }
}

void CVirtualBook::DrawFlatPage(int uShift, int aPosition, int aTexCoord) {
  glUniform4fv(uShift, 1, pageShift);
  turnPage->DrawFlat(aPosition, aTexCoord);
}

void CVirtualBook::DrawCurlPage(int uShift, int aPosition, int aTexCoord, int uAlpha, int aNormal,
                                int uKs, int uMinDiffuse, int uCeilKs) {
  glUniform4fv(uShift, 1, pageShift);
  turnPage->DrawCurl(aPosition, aTexCoord, uAlpha, aNormal, uKs, uMinDiffuse, uCeilKs);
}

void CVirtualBook::DrawShadow(int uShift, int aPosition, int aTexCoord) {
  glUniform4fv(uShift, 1, shadowShift);
  shadowPage->Draw(aPosition, aTexCoord);
}

void CVirtualBook::Draw2D(int uShift, int aPosition, int aTexCoord, int sTexture0, int sTexture1) {
  GLTexture* ink = inkTextures[inkIndex];
  if (sTexture1 >= 0 && ink != nullptr) {
    glActiveTexture(GL_TEXTURE1);
    ink->Bind();
    glUniform1i(sTexture1, 1);
  }
  glActiveTexture(GL_TEXTURE0);
  glUniform1i(sTexture0, 0);
  glUniform4fv(uShift, 1, pageShift);
  if (dualPage) {
    // The turning sheet's face drawn where the right page lies, then the left page.
    CTurnPage* right = pages[2];
    turnPage->DrawByArray(aPosition, aTexCoord, &right->vertices, &right->texCoords,
                          &right->indices, right->indexCount);
    pages[0]->DrawFlat(aPosition, aTexCoord);
  } else {
    turnPage->DrawFlat(aPosition, aTexCoord);
  }
}

// ---------------------------------------------------------------------------------------------
// Drag and animations

void CVirtualBook::RunAnimation(int kind, float x0, float y0, float x1, float y1, long time) {
  turnPage->SetAnimation(kind, x0, y0, x1, y1, time);
}

void CVirtualBook::CurlBegin(float x, float y, bool reverse_) {
  if (!dualPage && !reverse_)
    x = width;
  turnPage = dualPage ? pages[1] : pages[0];
  reverse = reverse_;
  curPoint = {x, y};
  startPoint = {x, y};
  curling = true;
  pageChanged = false;
  idle = false;
  turnPage->animationKind = CTurnPage::kDragging;
}

void CVirtualBook::Curling(float x, float y) {
  if (!dualPage && !reverse && x < 0.3f * width)
    x = 0.3f * width + 2.0f * (x - 0.3f * width) * (0.5f * width + 0.7f);
  curPoint = {x, y};
}

void CVirtualBook::CurlEnd(bool flag, long time) {
  int kind = flag == (dualPage || reverse) ? CTurnPage::kCompleteTurn : CTurnPage::kFallBack;
  if (!curling)
    return;
  RunAnimation(kind, startPoint.x, startPoint.y, curPoint.x, curPoint.y, time);
  curPoint = startPoint;
  // The drag is over: a second release without a new touch starts nothing.
  curling = false;
}

void CVirtualBook::BouncingCurlAnimation(bool reverse_, long time) {
  idle = false;
  pageChanged = false;
  reverse = reverse_;
  RunAnimation(CTurnPage::kBounce, startPoint.x, startPoint.y, curPoint.x, curPoint.y, time);
}

void CVirtualBook::TurnPageAnimation(bool reverse_, long time) {
  idle = false;
  pageChanged = false;
  reverse = reverse_;
  turnPage = dualPage ? pages[1] : pages[0];
  if (!reverse_ && !dualPage)
    RunAnimation(CTurnPage::kAutoReturn, startPoint.x, startPoint.y, curPoint.x, curPoint.y, time);
  else
    RunAnimation(CTurnPage::kAutoTurn, 0.0f, 0.0f, width - 0.01f, 0.0f, time);
}

void CVirtualBook::NoteTurnPageAnimation(bool reverse_, long time) {
  idle = false;
  pageChanged = false;
  reverse = reverse_;
  turnPage = dualPage ? pages[1] : pages[0];
  if (!reverse_)
    RunAnimation(CTurnPage::kAutoReturn, startPoint.x, startPoint.y, curPoint.x, curPoint.y, time);
  else
    RunAnimation(CTurnPage::kRaisedTurn, width, 0.0f, width - 0.01f, 0.0f, time);
}

void CVirtualBook::QuickTipsTurnPageAnimation(bool reverse_, long time) {
  shadowVisible = false;
  // Without these the frame update would never run the animation.
  idle = false;
  reverse = reverse_;
  if (!reverse_) {
    ChangePage(-1);
    rightPageVisible = false;
    RunAnimation(CTurnPage::kWideReturn, startPoint.x, startPoint.y, curPoint.x, curPoint.y, time);
  } else {
    pageChanged = false;
    RunAnimation(CTurnPage::kRaisedTurn, width, 0.0f, width - 0.01f, 0.0f, time);
  }
}

// ---------------------------------------------------------------------------------------------
// Frame

int CVirtualBook::Update(long ms) {
  if (idle)
    return 0;
  if (!pageChanged && !reverse) {
    ChangePage(-1);
    turnPage->TurnSide(-1);
  }
  int r = turnPage->Update(startPoint.x, startPoint.y, curPoint.x, curPoint.y, ms);
  if (shadowVisible) {
    shadowPage->turnPage = turnPage;
    shadowPage->Update(0.0f, 0.0f, 0.0f, 0.0f, 0);
  }
  if (r <= 0)
    return r;
  rightPageVisible = false;
  idle = true;
  if (r == CTurnPage::kTurned) {
    if (!dualPage || reverse) {
      ChangePage(1);
      if (!reverse)
        ShowOnBothFaces(pages[1], SlotTexture(kNext));
    } else {
      turnPage->TurnSide(1);
    }
    return r;
  }
  if (r == CTurnPage::kFellBack) {
    if (dualPage && !reverse) {
      ChangePage(1);
      turnPage->TurnSide(1);
    }
    return r;
  }
  return r;
}

// ---------------------------------------------------------------------------------------------
// Resize and lost context

namespace {

PointF ScaledX(PointF p, float sx) {
  return {p.x * sx, p.y};
}

// The drag and animation state of `from`, for a page sx times as wide. The mesh itself is
// rebuilt from this state by the next frame's Update.
void CopyMotion(CTurnPage const& from, CTurnPage* to, float sx) {
  to->TurnSide(from.mirror);
  to->mirror = from.mirror;
  to->side = from.side;
  to->frontTexture = from.frontTexture;
  to->backTexture = from.backTexture;
  to->backTint[0] = from.backTint[0];
  to->backTint[1] = from.backTint[1];
  to->backTint[2] = from.backTint[2];
  to->backTint[3] = from.backTint[3];
  to->backDiffuse = from.backDiffuse;
  to->filter = from.filter;
  to->animationKind = from.animationKind.load();
  to->remaining = from.remaining;
  to->animationParam = from.animationParam;
  to->curlFlag = from.curlFlag.load();
  to->firstFrame = from.firstFrame;
  to->startPoint = ScaledX(from.startPoint, sx);
  to->endPoint = ScaledX(from.endPoint, sx);
  to->originPoint = ScaledX(from.originPoint, sx);
  to->velocity = ScaledX(from.velocity, sx);
  to->acceleration = ScaledX(from.acceleration, sx);
  to->radius = from.radius;
  to->radiusVelocity = from.radiusVelocity;
  to->elapsed = from.elapsed;
  // A x + B y + C = 0 in the old coordinates is A x' + sx B y + sx C = 0 for x' = sx x.
  to->foldLine[0] = from.foldLine[0];
  to->foldLine[1] = from.foldLine[1] * sx;
  to->foldLine[2] = from.foldLine[2] * sx;
}

template <typename T>
T* Take(T*& from) {
  T* t = from;
  from = nullptr;
  return t;
}

}  // namespace

void CVirtualBook::AdoptFrom(CVirtualBook* old) {
  if (old == nullptr || old == this || old->dualPage != dualPage)
    return;
  float const sx = old->width > 0.0f ? width / old->width : 1.0f;
  // Textures: this book's own (none yet, but be safe) go, the old book's come over.
  for (int i = 0; i < 4; ++i) {
    delete textures[i];
    textures[i] = Take(old->textures[i]);
    slotIndex[i] = old->slotIndex[i];
  }
  for (int i = 0; i < 2; ++i) {
    delete inkTextures[i];
    inkTextures[i] = Take(old->inkTextures[i]);
  }
  delete blankTexture;
  blankTexture = Take(old->blankTexture);
  delete borderTexture;
  borderTexture = Take(old->borderTexture);
  delete leftPageTexture;
  leftPageTexture = Take(old->leftPageTexture);
  delete dummyTexture;
  dummyTexture = Take(old->dummyTexture);
  inkIndex = old->inkIndex;
  ringIndex = old->ringIndex;
  // The faces show what they showed.
  for (int i = 0; i < 3; ++i) {
    if (pages[i] != nullptr && old->pages[i] != nullptr)
      CopyMotion(*old->pages[i], pages[i], sx);
    if (old->turnPage == old->pages[i])
      turnPage = pages[i];
  }
  CVirtualPage* const mine[] = {borderPage, leftPage, rightPage};
  CVirtualPage* const theirs[] = {old->borderPage, old->leftPage, old->rightPage};
  for (int i = 0; i < 3; ++i) {
    mine[i]->frontTexture = theirs[i]->frontTexture;
    mine[i]->backTexture = theirs[i]->backTexture;
  }
  shadowPage->turnPage = turnPage;
  rightPageVisible = old->rightPageVisible;
  zoom = old->zoom;
  curPoint = ScaledX(old->curPoint, sx);
  startPoint = ScaledX(old->startPoint, sx);
  curling = old->curling;
  reverse = old->reverse;
  pageChanged = old->pageChanged;
  idle = old->idle;
  frameStartMicros = old->frameStartMicros;
  frameTimerValid = old->frameTimerValid;
  inkEnabled = old->inkEnabled;
  margin = old->margin;
  streaming = old->streaming;
  javaCallback = old->javaCallback;
  shadowVisible = old->shadowVisible;
  // Nothing of the old book may reach the moved textures any more.
  for (CTurnPage* p : old->pages) {
    if (p != nullptr)
      p->frontTexture = p->backTexture = nullptr;
  }
  for (CVirtualPage* p : theirs)
    p->frontTexture = p->backTexture = nullptr;
  old->streaming = false;
}

void CVirtualBook::ForgetContext() {
  for (GLTexture* t : textures) {
    if (t != nullptr)
      t->ForgetContext();
  }
  for (GLTexture* t : inkTextures) {
    if (t != nullptr)
      t->ForgetContext();
  }
  for (GLTexture* t : {blankTexture, borderTexture, leftPageTexture, dummyTexture}) {
    if (t != nullptr)
      t->ForgetContext();
  }
}

long CVirtualBook::FrameMilliseconds() const {
  if (!frameTimerValid)
    return 0;
  return static_cast<long>((NowMicros() - frameStartMicros) / 1000);
}

void CVirtualBook::RestartFrameTimer() {
  frameStartMicros = NowMicros();
  frameTimerValid = true;
}

}  // namespace GL
}  // namespace kestrin
