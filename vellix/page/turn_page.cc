#include "page/turn_page.h"

#include <limits.h>
#include <math.h>

#include <thread>

#include "page/quarter_sincos.h"

namespace kestrin {
namespace GL {

namespace {

constexpr float kPi = 3.14159265358979f;
constexpr float kHalfPi = kPi * 0.5f;
// Folds closer to horizontal than this slope are treated as this slope.
constexpr float kMinSlope = 0.0001f;

void ClampSlope(float* b) {
  if (*b > 0.0f && *b < kMinSlope)
    *b = kMinSlope;
  else if (*b < 0.0f && *b > -kMinSlope)
    *b = -kMinSlope;
}

bool Usable(float t) {
  return t > 0.0f && isfinite(t);
}

// CVirtualPage::ProjectPoint and ReflectPoint for one fixed line, with the work that depends
// only on the line done once. The per-point arithmetic is the same, and so are the results.
enum class LineKind { kNone, kUpright, kLevel, kSlanted };

LineKind KindOf(float a, float b) {
  if (a == 0.0f && b == 0.0f)
    return LineKind::kNone;
  if (b == 0.0f)
    return LineKind::kUpright;
  return a == 0.0f ? LineKind::kLevel : LineKind::kSlanted;
}

class Projection {
 public:
  Projection(float a, float b, float c)
      : a_(a), b_(b), c_(c), denom_(b * b + a * a), kind_(KindOf(a, b)) {}
  void operator()(float x, float y, float* ox, float* oy) const {
    switch (kind_) {
      case LineKind::kNone:
        *ox = x;
        *oy = y;
        break;
      case LineKind::kUpright:
        *ox = -c_ / a_;
        *oy = y;
        break;
      case LineKind::kLevel:
        *ox = x;
        *oy = -c_ / b_;
        break;
      case LineKind::kSlanted: {
        float py = y - b_ * (b_ * y + a_ * x + c_) / denom_;
        *oy = py;
        *ox = (-c_ - b_ * py) / a_;
      }
    }
  }

 private:
  float a_;
  float b_;
  float c_;
  float denom_;
  LineKind kind_;
};

class Reflection {
 public:
  Reflection(float a, float b, float c) : a_(a), b_(b), c_(c), kind_(KindOf(a, b)) {
    if (kind_ == LineKind::kSlanted) {
      ab_ = a / b;
      float f = a * ab_;
      fmb_ = f - b;
      fpb_ = f + b;
    }
  }
  void operator()(float x, float y, float* ox, float* oy) const {
    switch (kind_) {
      case LineKind::kNone:
        *ox = x;
        *oy = y;
        break;
      case LineKind::kUpright:
        *oy = y;
        *ox = -2.0f * c_ / a_ - x;
        break;
      case LineKind::kLevel:
        *ox = x;
        *oy = -2.0f * c_ / b_ - y;
        break;
      case LineKind::kSlanted: {
        float ry = (fmb_ * y + (c_ + a_ * x) * -2.0f) / fpb_;
        *oy = ry;
        *ox = x + ab_ * (ry - y);
      }
    }
  }

 private:
  float a_;
  float b_;
  float c_;
  float ab_ = 0.0f;
  float fmb_ = 0.0f;
  float fpb_ = 0.0f;
  LineKind kind_;
};

long Doubled(long v) {
  if (v > LONG_MAX / 2)
    return LONG_MAX;
  if (v < LONG_MIN / 2)
    return LONG_MIN;
  return v * 2;
}

}  // namespace

CTurnPage::CTurnPage(float w, float h, int rows_, int cols_)
    : CVirtualPage(w, h, rows_, cols_),
      curlIndexCount(0),
      curlIndices(nullptr),
      foldLine{0.0f, 0.0f, 0.0f},
      startPoint{0.0f, 0.0f},
      endPoint{0.0f, 0.0f},
      velocity{0.0f, 0.0f},
      acceleration{0.0f, 0.0f},
      radius(kDefaultRadius),
      radiusVelocity(0.0f),
      originPoint{0.0f, 0.0f},
      elapsed(0.0f),
      busy(kFree),
      waiting(0),
      shadowQuad{} {
  side = 0;
  curlIndices = new unsigned short[rows * cols * 6];
}

CTurnPage::~CTurnPage() {
  delete[] curlIndices;
}

namespace {

// The page whose animation state the current thread holds.
thread_local CTurnPage const* tHolder = nullptr;

}  // namespace

CTurnPage::Hold::Hold(CTurnPage* page, Mode mode)
    : page_(page), previous_(tHolder), held_(false), nested_(tHolder == page) {
  if (nested_) {
    held_ = true;
    return;
  }
  if (mode == kFrame) {
    int expected = kFree;
    held_ = page->waiting.load() == 0 &&
            page->busy.compare_exchange_strong(expected, kUpdating, std::memory_order_acquire);
  } else {
    page->waiting.fetch_add(1);
    for (;;) {
      int expected = kFree;
      if (page->busy.compare_exchange_weak(expected, kSettingUp, std::memory_order_acquire)) {
        held_ = true;
        break;
      }
      if (expected == kSettingUp && mode == kSetUp)
        break;
      // A frame holds the page for some microseconds.
      std::this_thread::yield();
    }
    page->waiting.fetch_sub(1);
  }
  if (held_)
    tHolder = page;
}

CTurnPage::Hold::~Hold() {
  if (held_ && !nested_) {
    tHolder = previous_;
    page_->busy.store(kFree, std::memory_order_release);
  }
}

void CTurnPage::ComputeFoldLine(float* a, float* b, float* c) const {
  float dx = endPoint.x - startPoint.x;
  float dy = endPoint.y - startPoint.y;
  if (dx == 0.0f) {
    *a = 0.0f;
    *b = dy;
  } else {
    *a = 1.0f;
    *b = dy / dx;
  }
  *c = (-(endPoint.y + startPoint.y) * *b - *a * (endPoint.x + startPoint.x)) * 0.5f;
}

void CTurnPage::SetShape(float w, float h) {
  curlIndexCount = 0;
  CVirtualPage::SetShape(w, h);
  TurnSide(mirror);
}

int CTurnPage::ResetParameters() {
  Hold hold(this, Hold::kSetUpWaiting);
  radius = kDefaultRadius;
  side = 0;
  acceleration = {0.0006f, 0.0004f};
  velocity = {0.001f, 0.0007f};
  remaining = 0.0f;
  animationKind = kIdle;
  curlFlag = false;
  return 0;
}

void CTurnPage::SetGLTexCoord(int aTexCoord) {
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
}

void CTurnPage::TurnSide(int) {}

void CTurnPage::DrawFlat(int aPosition, int aTexCoord) {
  CVirtualPage::Draw(aPosition, aTexCoord);
}

void CTurnPage::DrawCurl(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uKs,
                         int uMinDiffuse, int uCeilKs) {
  if (curlIndexCount <= 0)
    return;
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
  glVertexAttribPointer(static_cast<GLuint>(aNormal), 3, GL_FLOAT, GL_FALSE, 0, normals);
  if (side >= 0 && frontTexture != nullptr) {
    glCullFace(GL_BACK);
    glUniform2f(uKs, 0.0f, -1.0f);
    glUniform1f(uMinDiffuse, 0.18f);
    glUniform1f(uCeilKs, 0.82f);
    glUniform4f(uAlpha, 0.0f, 0.0f, 0.0f, 0.0f);
    frontTexture->Bind();
    frontTexture->SetFilter(GL_LINEAR);
    glDrawElements(GL_TRIANGLES, curlIndexCount, GL_UNSIGNED_SHORT, curlIndices);
  }
  if (side <= 0 && backTexture != nullptr) {
    backTexture->Bind();
    backTexture->SetFilter(GL_LINEAR);
    glUniform2f(uKs, 1.0f, 1.0f);
    glUniform1f(uMinDiffuse, 0.28f);
    glUniform1f(uCeilKs, 0.70f);
    glUniform4fv(uAlpha, 1, backTint);
    glCullFace(GL_FRONT);
    glDrawElements(GL_TRIANGLES, curlIndexCount, GL_UNSIGNED_SHORT, curlIndices);
  }
}

void CTurnPage::Draw(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uMinDiffuse) {
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
  glVertexAttribPointer(static_cast<GLuint>(aNormal), 3, GL_FLOAT, GL_FALSE, 0, normals);
  if (side >= 0 && frontTexture != nullptr) {
    frontTexture->Bind();
    frontTexture->SetFilter(filter);
    glUniform1f(uMinDiffuse, 0.0f);
    glUniform4f(uAlpha, 0.0f, 0.0f, 0.0f, 0.0f);
    glCullFace(GL_BACK);
    glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_SHORT, indices);
    if (curlIndexCount > 0)
      glDrawElements(GL_TRIANGLES, curlIndexCount, GL_UNSIGNED_SHORT, curlIndices);
  }
  if (side < 1 && backTexture != nullptr) {
    backTexture->Bind();
    backTexture->SetFilter(GL_LINEAR);
    glUniform1f(uMinDiffuse, backDiffuse);
    glUniform4fv(uAlpha, 1, backTint);
    glCullFace(GL_FRONT);
    if (curlIndexCount > 0)
      glDrawElements(GL_TRIANGLES, curlIndexCount, GL_UNSIGNED_SHORT, curlIndices);
  }
}

// ---------------------------------------------------------------------------------------------
// Animations

int CTurnPage::SetAnimation(int kind, float x0, float y0, float x1, float y1, long param) {
  // Another set-up in progress refuses this one; a frame in progress is waited out, so a
  // release is never lost to the render thread.
  Hold hold(this, Hold::kSetUp);
  if (!hold.held())
    return 0;
  bool glide = false;
  int result = SetUpMotion(kind, x0, y0, x1, y1, param, &glide);
  if (glide)
    return SetAnimation(kGlide, x0, y0, x1, y1, param);
  originPoint = endPoint;
  animationKind = kind;
  return result;
}

float CTurnPage::SetMotion(float dx, float dy, float t, float ax, float ay) {
  if (Usable(t)) {
    float vx = (dx + (-0.5f * t * t) * ax) / t;
    float vy = (dy + (-0.5f * t * t) * ay) / t;
    if (isfinite(vx) && isfinite(vy)) {
      remaining = t;
      velocity = {vx, vy};
      acceleration = {ax, ay};
      return t;
    }
  }
  // No usable duration (a zero or negative time factor, or one so large the motion cannot be
  // represented): the end point arrives at once instead of flying off to infinity.
  remaining = 0.0f;
  velocity = {0.0f, 0.0f};
  acceleration = {0.0f, 0.0f};
  endPoint.x += dx;
  endPoint.y += dy;
  return 0.0f;
}

void CTurnPage::SetRadiusGoal(float target, float t) {
  if (t > 0.0f) {
    radiusVelocity = (target - radius) / t;
  } else {
    radius = target;
    radiusVelocity = 0.0f;
  }
}

int CTurnPage::SetUpMotion(int kind, float x0, float y0, float x1, float y1, long param,
                           bool* glide) {
  firstFrame = true;
  endPoint = {x1, y1};
  startPoint = {x0, y0};
  float p = static_cast<float>(param);
  float a;
  float b;
  float c;
  ComputeFoldLine(&a, &b, &c);
  float s = -a / b;
  elapsed = 0.0f;
  float w = width;
  float h = height;
  float r = radius;
  float t;

  switch (kind) {
    case kCompleteTurn: {
      if (x1 < r * kHalfPi * 0.5f) {
        // Close to the spine already: glide straight to the mirrored start.
        float mx;
        float my;
        ReflectPoint(x0, y0, &mx, &my, 1.0f, 0.0f, 0.0f);
        float dx = mx - x1;
        float dy = my - y1;
        remaining = sqrtf(dx * dx + dy * dy) * 5.0f * p;
        velocity.x = Usable(remaining) ? dx / remaining : 0.0f;
        *glide = true;
        return 0;
      }
      float mx;
      float my;
      ReflectPoint(x0, y0, &mx, &my, 1.0f, 0.0f, -r * kHalfPi * 0.5f);
      float dx = mx - x1;
      float dy = my - y1;
      t = SetMotion(dx, dy, sqrtf(dx * dx + dy * dy) * 5.6f * p, dx * 0.5f * 0.0006f,
                    dy * 0.5f * 0.0004f);
      SetRadiusGoal(0.04f, t);
      animationParam = param;
      return 1;
    }
    case kAutoTurn: {
      startPoint = {w, h * 0.5f};
      endPoint = startPoint;
      float dx = -2.0f * w;
      t = SetMotion(dx, 0.0f, fabsf(dx) * 3.0f * p, dx > 0.0f ? 0.00096f : -0.00096f, 0.0f);
      radius = 0.008f;
      SetRadiusGoal(r, t);
      return 0;
    }
    case kAutoReturn: {
      startPoint = {w, h * 0.5f};
      endPoint = {-0.8f * w, h * 0.5f};
      float dx = 1.8f * w;
      t = SetMotion(dx, 0.0f, fabsf(dx) * 3.0f * p, dx > 0.0f ? -0.0036f : 0.0036f, 0.0f);
      SetRadiusGoal(0.032f, t);
      return 2;
    }
    case kFallBack: {
      if (curlFlag && foldLine[1] == 0.0f) {
        remaining = 0.1f;
        velocity = {0.0f, 0.0f};
        acceleration = {0.0f, 0.0f};
        radiusVelocity = 0.0f;
        startPoint = {w, y0};
        endPoint = startPoint;
        return 0;
      }
      if (curlFlag)
        s = -foldLine[0] / foldLine[1];
      float cx = w;
      float cy = s < 0.0f ? h : 0.0f;
      ReflectPoint(cx, cy, &endPoint.x, &endPoint.y, foldLine[0], foldLine[1], foldLine[2]);
      startPoint = {w, s > 0.0f ? 0.0f : h};
      float dx = startPoint.x - endPoint.x;
      float dy = startPoint.y - endPoint.y;
      t = SetMotion(dx, dy, sqrtf(dx * dx + dy * dy) * 5.0f * p, dx > 0.0f ? 0.0006f : -0.0006f,
                    dy > 0.0f ? 0.0004f : -0.0004f);
      SetRadiusGoal(0.04f, t);
      return 0;
    }
    case kBounce: {
      startPoint = {w, 0.0f};
      endPoint = {w - 0.12f, 0.0f};
      t = SetMotion(-0.12f, 0.0f, 0.12f * 5.0f * p, -0.0006f, -0.0004f);
      SetRadiusGoal(0.04f, t);
      animationParam = Doubled(param);
      return 1;
    }
    case kRaisedTurn: {
      startPoint = {w, h * 0.5f};
      endPoint = startPoint;
      float k = w / h;
      float dx = -2.0f * w;
      float dy = 0.16f * k;
      t = SetMotion(dx, dy, sqrtf(dx * dx + dy * dy) * 3.0f * p, dx > 0.0f ? 0.00096f : -0.00096f,
                    0.0f);
      radius = 0.032f * k;
      SetRadiusGoal(r, t);
      return 0;
    }
    case kHalfTurn: {
      startPoint = {w, 0.0f};
      endPoint = {-0.5f * w, 0.05f};
      radius = 0.04f;
      radiusVelocity = 0.0f;
      float dx = 1.5f * w;
      SetMotion(dx, 0.0f, sqrtf(dx * dx + 0.0025f) * 0.75f * p, dx > 0.0f ? 0.0006f : -0.0006f,
                0.0f);
      return 2;
    }
    case kGlide: {
      firstFrame = false;
      float tx;
      float ty;
      ReflectPoint(startPoint.x, startPoint.y, &tx, &ty, 1.0f, 0.0f, 0.0f);
      float dx = tx - x1;
      float dy = ty - y1;
      acceleration = {0.0f, 0.0f};
      t = dx / velocity.x;
      if (!Usable(t)) {
        // The earlier velocity points away from the target (or is zero): keep its speed but
        // head for the target, or fall back to the duration set just before.
        t = fabsf(t);
        if (!Usable(t))
          t = remaining;
        if (Usable(t))
          velocity.x = dx / t;
      }
      if (Usable(t)) {
        velocity.y = dy / t;
        remaining = t;
      } else {
        t = SetMotion(dx, dy, 0.0f, 0.0f, 0.0f);
      }
      SetRadiusGoal(0.04f, t);
      return 0;
    }
    case kWideReturn: {
      float k = h < w ? -1.5f : -0.9f;
      startPoint = {w, 0.01f};
      endPoint = {w * k, h * 0.5f};
      radius = 0.14f;
      float dx = w - w * k;
      float dy = 0.01f - h * 0.5f;
      t = SetMotion(dx, dy, (2.4f / sqrtf(w / h)) * sqrtf(dx * dx + dy * dy) * p,
                    dx > 0.0f ? -0.0024f : 0.0024f, dy > 0.0f ? 0.0012f : -0.0012f);
      if (t > 0.0f) {
        radiusVelocity = 0.14f / t;
      } else {
        radius = 0.28f;
        radiusVelocity = 0.0f;
      }
      return 2;
    }
    default:
      return 0;
  }
}

int CTurnPage::UpdateAnimation(long ms) {
  Hold hold(this, Hold::kFrame);
  if (!hold.held())
    return kRunning;
  float step = firstFrame ? 1.0f : static_cast<float>(ms / 33.0);
  if (step > remaining)
    step = remaining;
  // A clock that runs backwards does not rewind the motion.
  if (!(step > 0.0f))
    step = 0.0f;
  firstFrame = false;
  elapsed += step;
  endPoint.x = originPoint.x + elapsed * velocity.x + acceleration.x * 0.5f * elapsed * elapsed;
  endPoint.y = originPoint.y + elapsed * velocity.y + acceleration.y * 0.5f * elapsed * elapsed;
  radius += step * radiusVelocity;
  remaining -= step;
  if (remaining > 0.0f)
    return kRunning;
  remaining = 0.0f;
  int kind = animationKind;
  if (kind == kCompleteTurn) {
    SetAnimation(kGlide, startPoint.x, startPoint.y, endPoint.x, endPoint.y, animationParam);
    return kChained;
  }
  if (kind == kBounce) {
    SetAnimation(kFallBack, endPoint.x, endPoint.y, startPoint.x, startPoint.y, animationParam);
    return kChained;
  }
  float endX = endPoint.x;
  radius = kDefaultRadius;
  animationKind = kIdle;
  startPoint = {width, 0.0f};
  endPoint = startPoint;
  if (kind == kFallBack)
    return kFellBack;
  return endX < 0.0f ? kTurned : kFinished;
}

int CTurnPage::UpdateCurlRadius() {
  float w = width;
  float ex = endPoint.x;
  float ey = endPoint.y;
  float sy = startPoint.y;
  float d = sqrtf((w - ex) * (w - ex) + (sy - ey) * (sy - ey));
  startPoint.x = w;
  int result = 0;
  if (remaining <= 0.0f && w - ex < 0.3f) {
    // Near the edge the end point is pulled towards the start's height.
    endPoint.y = sy - (sy - ey) * (w - ex) / 0.3f;
    result = 1;
  }
  if (animationKind == kWideReturn)
    return result;
  if (d < 0.24f) {
    radius = d * 0.03f / 0.24f + 0.04f;
    return 1;
  }
  if (w - ex <= 0.8f * w) {
    radius = kDefaultRadius;
    return result;
  }
  radius = kDefaultRadius + (w - ex - 0.8f * w) * 0.07f / (-1.6f * w);
  if (!(radius > 0.0f))
    radius = 0.0f;
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Mesh

int CTurnPage::Update(float x0, float y0, float x1, float y1, long ms) {
  // While an animation is being set up the frame is skipped: the mesh stays as it was.
  Hold hold(this, Hold::kFrame);
  if (!hold.held())
    return kRunning;
  int result = 0;
  if (animationKind < kCompleteTurn) {
    startPoint = {x0, y0};
    endPoint = {x1, y1};
  } else {
    result = UpdateAnimation(ms);
  }
  BuildMesh();
  return result;
}

void CTurnPage::FlatMesh(float a, float b, float c) {
  SetShape(width, height);
  SetTexture(0.0f, 1.0f, 0.0f, 1.0f);
  SetIndex();
  curlFlag = false;
  foldLine[0] = a;
  foldLine[1] = b;
  foldLine[2] = c;
  // A flat page casts no shadow.
  for (auto& v : shadowQuad) {
    v[0] = 0.0f;
    v[1] = 0.0f;
    v[2] = 0.0f;
  }
}

void CTurnPage::BuildMesh() {
  indexCount = 0;
  curlIndexCount = 0;
  float a;
  float b;
  float c;
  ComputeFoldLine(&a, &b, &c);
  if (sqrtf(b * b + a * a) == 0.0f) {
    FlatMesh(a, b, c);
    return;
  }
  curlFlag = UpdateCurlRadius() != 0;
  ComputeFoldLine(&a, &b, &c);
  ClampSlope(&b);
  float l = sqrtf(b * b + a * a);
  // Pulling the end point towards the start can put it on the start.
  if (l == 0.0f) {
    FlatMesh(a, b, c);
    return;
  }
  float s = -a / b;
  if (animationKind == kDragging) {
    // Keep the cylinder off the spine: when the fold comes closer to the spine corner than
    // the cylinder's reach (or passes it), move the fold back so the cylinder just touches it.
    float yc = s <= 0.0f ? height : 0.0f;
    float g = c + b * yc;
    float r = radius;
    if (fabsf(g) / l <= r * kHalfPi || g > 0.0f) {
      startPoint = {width, yc};
      ReflectPoint(width, yc, &endPoint.x, &endPoint.y, a, b, -b * yc - r * kHalfPi * l);
      ComputeFoldLine(&a, &b, &c);
      ClampSlope(&b);
      l = sqrtf(b * b + a * a);
      curlFlag = true;
      if (l == 0.0f) {
        FlatMesh(a, b, c);
        return;
      }
    }
  }
  CurlMesh(a, b, c, l, s);
}

void CTurnPage::CurlMesh(float a, float b, float c, float l, float s) {
  float const w = width;
  float const h = height;
  float const r = radius;
  float const dxc = w / cols;
  float const dyc = h / rows;
  // The cylinder's base line, where the paper leaves the table: the fold moved r*pi/2 towards
  // the flat side.
  float const cb = c + l * r * kHalfPi;

  // Columns entirely left of the base line stay flat and are drawn as one quad. A horizontal
  // base line (a == 0) crosses every column, so none is collapsed.
  int n = 0;
  if (a != 0.0f) {
    float xa = -cb / a;
    float xb = -(cb + b * h) / a;
    float first = floorf((xa < xb ? xa : xb) / dxc);
    if (first > 0.0f)
      n = first >= static_cast<float>(cols) ? cols : static_cast<int>(first);
  }

  float const lr = l * r;
  float const flatLimit = (dxc / r) * kHalfPi + kHalfPi;
  float const al = a / l;
  float const bl = b / l;
  float const m = static_cast<float>(mirror);
  int const stride = cols + 1;
  // The diagonal of each cell follows the fold's direction:
  // (v, v+1, v+cols+2, v, v+cols+2, v+cols+1) when s >= 0,
  // (v, v+1, v+cols+1, v+1, v+cols+2, v+cols+1) otherwise.
  int const d2 = s >= 0.0f ? stride + 1 : stride;
  int const d3 = s >= 0.0f ? 0 : 1;
  Projection const toBase(a, b, cb);
  Reflection const overFold(a, b, c);
  unsigned short* flat = indices;
  unsigned short* curl = curlIndices;

  float y = 0.0f;
  for (int i = 0; i <= rows; ++i) {
    float x = 0.0f;
    bool const cellRow = i < rows;
    float* pos = vertices + i * stride * 3;
    float* nor = normals + i * stride * 3;
    for (int j = 0; j <= cols; ++j, pos += 3, nor += 3) {
      float d = a * x + b * y + c;
      float theta = d / lr;
      bool toCurl;
      if (fabsf(theta) <= kHalfPi) {
        float px;
        float py;
        toBase(x, y, &px, &py);
        float st;
        float ct;
        QuarterSinCos(theta, &st, &ct);
        float rc = r * ct;
        float rs = r * st;
        pos[0] = (px + rc * al) * m;
        pos[1] = py + rc * bl;
        pos[2] = r + rs;
        nor[0] = rc * al;
        nor[1] = rc * bl;
        nor[2] = rs;
        toCurl = true;
      } else if (d > 0.0f) {
        float rx;
        float ry;
        overFold(x, y, &rx, &ry);
        pos[0] = rx * m;
        pos[1] = ry;
        pos[2] = 2.0f * r;
        nor[0] = 0.0f;
        nor[1] = 0.0f;
        nor[2] = 1.0f;
        toCurl = true;
      } else {
        pos[0] = x * m;
        pos[1] = y;
        pos[2] = 0.0f;
        nor[0] = 0.0f;
        nor[1] = 0.0f;
        nor[2] = -1.0f;
        toCurl = !(fabsf(theta) > flatLimit);
      }
      if (cellRow && j >= n && j < cols) {
        unsigned short* out = toCurl ? curl : flat;
        int const v = i * stride + j;
        out[0] = static_cast<unsigned short>(v);
        out[1] = static_cast<unsigned short>(v + 1);
        out[2] = static_cast<unsigned short>(v + d2);
        out[3] = static_cast<unsigned short>(v + d3);
        out[4] = static_cast<unsigned short>(v + stride + 1);
        out[5] = static_cast<unsigned short>(v + stride);
        if (toCurl)
          curl += 6;
        else
          flat += 6;
      }
      x += dxc;
    }
    y += dyc;
  }
  if (n > 0) {
    int top = rows * stride;
    flat[0] = 0;
    flat[1] = static_cast<unsigned short>(n);
    flat[2] = static_cast<unsigned short>(n + top);
    flat[3] = 0;
    flat[4] = static_cast<unsigned short>(n + top);
    flat[5] = static_cast<unsigned short>(top);
    flat += 6;
  }
  indexCount = static_cast<int>(flat - indices);
  curlIndexCount = static_cast<int>(curl - curlIndices);
  foldLine[0] = a;
  foldLine[1] = b;
  foldLine[2] = c;
  UpdateShadow(l, a / l, b / l);
}

void CTurnPage::UpdateShadow(float k, float nx, float ny) {
  float const a = foldLine[0];
  float const b = foldLine[1];
  float const c = foldLine[2];
  float const r = radius;
  float const h = height;
  // A x + B y - cp = 0 is the cylinder's base line.
  float const cp = -c - r * kHalfPi * k;
  float fx0;
  float fy0;
  float fx1;
  float fy1;
  if (a != 0.0f) {
    shadowQuad[0][0] = cp / a;
    shadowQuad[0][1] = 0.0f;
    shadowQuad[1][0] = (cp - b * h) / a;
    shadowQuad[1][1] = h;
    fx0 = -c / a;
    fy0 = 0.0f;
    fx1 = (-c - b * h) / a;
    fy1 = h;
  } else {
    // A horizontal base line never meets y = 0 or y = h: take its ends at the page's sides.
    float yb = cp / b;
    shadowQuad[0][0] = 0.0f;
    shadowQuad[0][1] = yb;
    shadowQuad[1][0] = width;
    shadowQuad[1][1] = yb;
    fx0 = 0.0f;
    fy0 = -c / b;
    fx1 = width;
    fy1 = fy0;
  }
  shadowQuad[0][2] = 0.0f;
  shadowQuad[1][2] = 0.0f;
  float px;
  float py;
  ProjectPoint(fx0, fy0, &px, &py, a, b, -cp);
  shadowQuad[2][0] = px + r * nx;
  shadowQuad[2][1] = py + r * ny;
  shadowQuad[2][2] = r;
  ProjectPoint(fx1, fy1, &px, &py, a, b, -cp);
  shadowQuad[3][0] = px + r * nx;
  shadowQuad[3][1] = py + r * ny;
  shadowQuad[3][2] = r;
}

}  // namespace GL
}  // namespace kestrin
