// The page being turned. Its shape follows two points in page coordinates (x from the spine,
// y from the bottom): the carried corner `startPoint` and where it is now, `endPoint`. The
// fold is the perpendicular bisector of the two; the paper wraps around a cylinder of radius
// `radius` beside the fold and lies flipped over beyond it. After a release, SetAnimation
// scripts the end point's motion (constant acceleration) and the radius (linear) over time
// units of 33 ms.
#ifndef VELLIX_PAGE_TURN_PAGE_H
#define VELLIX_PAGE_TURN_PAGE_H

#include <atomic>

#include "page/virtual_page.h"

namespace kestrin {
namespace GL {

struct PointF {
  float x;
  float y;
};

class CTurnPage : public CVirtualPage {
 public:
  // Animation kinds.
  enum {
    kIdle = 0,
    kDragging = 1,
    kCompleteTurn = 2,
    kAutoTurn = 3,
    kAutoReturn = 4,
    kFallBack = 5,
    kBounce = 6,
    kRaisedTurn = 7,
    kHalfTurn = 8,
    kGlide = 9,
    kWideReturn = 10,
  };
  // Results of UpdateAnimation.
  enum {
    kRunning = 0,
    kChained = -1,
    kTurned = 1,
    kFinished = 2,
    kFellBack = 3,
  };
  // Values of `busy`.
  enum {
    kFree = 0,
    kSettingUp = 1,  // SetAnimation is computing
    kUpdating = 2,   // the render thread is stepping or rebuilding the mesh
  };
  static constexpr float kDefaultRadius = 0.07f;
  static constexpr float kMillisecondsPerUnit = 33.0f;

  CTurnPage(float w, float h, int rows, int cols);
  ~CTurnPage() override;

  using CVirtualPage::Draw;
  using CVirtualPage::SetShape;
  void SetShape(float w, float h) override;
  int ResetParameters() override;
  // Both faces: the flat and curled parts of the front, the curled part of the back.
  void Draw(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uMinDiffuse) override;
  // Rebuilds the mesh from (x0, y0) -> (x1, y1) while dragging, or from the animation. Returns
  // the UpdateAnimation result while animating, else 0.
  int Update(float x0, float y0, float x1, float y1, long ms) override;
  // Turns a release (or a request) into a scripted motion; returns the kind's result code, or
  // 0 when another set-up is in progress.
  int SetAnimation(int kind, float x0, float y0, float x1, float y1, long param) override;
  // The curled part, lit.
  virtual void DrawCurl(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uKs,
                        int uMinDiffuse, int uCeilKs);
  // The flat part.
  virtual void DrawFlat(int aPosition, int aTexCoord);
  virtual void TurnSide(int s);
  virtual void SetGLTexCoord(int aTexCoord);
  // Steps the animation by `ms`: 0 running, -1 chained into a follow-up, 1 finished turned
  // over (end left of the spine), 2 finished otherwise, 3 a fall back finished.
  virtual int UpdateAnimation(long ms);
  virtual void UpdateShadow(float k, float nx, float ny);
  // Adjusts the end point near the edge and the radius to the drag; the result is the curl
  // flag.
  virtual int UpdateCurlRadius();

  int curlIndexCount;
  unsigned short* curlIndices;
  // A x + B y + C = 0, the fold of the last frame.
  float foldLine[3];
  PointF startPoint;
  PointF endPoint;
  PointF velocity;
  PointF acceleration;
  float radius;
  float radiusVelocity;
  PointF originPoint;
  float elapsed;
  // Who holds the animation state: SetAnimation (touch thread) and the frame update (render
  // thread) each hold it around every access, so the two never overlap.
  std::atomic<int> busy;
  // Set-ups waiting for the current frame to end; the next frame is skipped in their favour.
  std::atomic<int> waiting;
  // Ends of the cylinder's base line on the table and of its top edge, for the shadow pass.
  float shadowQuad[4][3];

 protected:
  // Fold line of startPoint -> endPoint.
  void ComputeFoldLine(float* a, float* b, float* c) const;
  // Holds the animation state for the calling thread for its lifetime. A frame never waits:
  // it is refused while a set-up runs or waits. A set-up waits for a running frame and is
  // refused (when `refuse`) by another running set-up. Holding it again on the same thread,
  // as chained set-ups do, is a no-op.
  class Hold {
   public:
    enum Mode { kFrame, kSetUp, kSetUpWaiting };
    Hold(CTurnPage* page, Mode mode);
    ~Hold();
    Hold(Hold const&) = delete;
    Hold& operator=(Hold const&) = delete;
    bool held() const { return held_; }

   private:
    CTurnPage* page_;
    CTurnPage const* previous_;
    bool held_;
    bool nested_;
  };

 private:
  int SetUpMotion(int kind, float x0, float y0, float x1, float y1, long param, bool* chained);
  // Moves the end point by (dx, dy) in time t with acceleration (ax, ay); returns the time
  // used, 0 when the end point was moved at once.
  float SetMotion(float dx, float dy, float t, float ax, float ay);
  // Radius changes linearly to `target` over t (at once when t is 0).
  void SetRadiusGoal(float target, float t);
  void BuildMesh();
  void FlatMesh(float a, float b, float c);
  void CurlMesh(float a, float b, float c, float l, float s);
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_PAGE_TURN_PAGE_H
