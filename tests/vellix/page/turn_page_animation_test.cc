#include <gtest/gtest.h>
#include <math.h>

#include <string>
#include <vector>

#include "page/turn_page.h"
#include "vellix/page/mesh_check_helper.h"

namespace kestrin {
namespace GL {
namespace {

constexpr float kPi = 3.14159265f;

struct Call {
  int kind;
  float x0, y0, x1, y1;
  long param;
};

// Records every SetAnimation, including the follow-ups the page chains itself.
class RecordingPage : public CTurnPage {
 public:
  RecordingPage(float w, float h, int rows, int cols) : CTurnPage(w, h, rows, cols) {}
  int SetAnimation(int kind, float x0, float y0, float x1, float y1, long param) override {
    calls.push_back({kind, x0, y0, x1, y1, param});
    return CTurnPage::SetAnimation(kind, x0, y0, x1, y1, param);
  }
  std::vector<Call> calls;
};

// Where the end point stood after the last step: the motion's state outlives the reset of
// the end point when an animation finishes.
PointF LastEnd(CTurnPage const& p) {
  float t = p.elapsed;
  return {p.originPoint.x + t * p.velocity.x + p.acceleration.x * 0.5f * t * t,
          p.originPoint.y + t * p.velocity.y + p.acceleration.y * 0.5f * t * t};
}

// Runs frames of `ms` until the animation reports an end; returns every result.
std::vector<int> RunFrames(CTurnPage* p, long ms, int max_frames = 100000) {
  std::vector<int> results;
  for (int f = 0; f < max_frames; ++f) {
    int r = p->Update(0, 0, 0, 0, ms);
    results.push_back(r);
    std::string fault = p->curlIndexCount > 0 ? CheckCurlMesh(*p) : "";
    EXPECT_EQ("", fault) << "frame " << f;
    if (!fault.empty() || r > 0)
      break;
  }
  return results;
}

int Count(std::vector<int> const& v, int x) {
  int n = 0;
  for (int e : v)
    n += e == x;
  return n;
}

class TurnPageAnimationTest : public testing::Test {
 protected:
  TurnPageAnimationTest() : page(0.5625f, 1.0f, 43, 24), w(page.width), h(page.height) {}
  RecordingPage page;
  float w;
  float h;
};

TEST_F(TurnPageAnimationTest, AutoTurnEndsTurnedOverLeftOfTheSpine) {
  EXPECT_EQ(0, page.SetAnimation(3, 0.0f, 0.0f, w - 0.01f, 0.0f, 1));
  EXPECT_EQ(3, page.animationKind.load());
  EXPECT_EQ(0.008f, page.radius);
  float t = 2.0f * w * 3.0f;
  EXPECT_FLOAT_EQ(t, page.remaining);
  std::vector<int> r = RunFrames(&page, 33);
  EXPECT_EQ(1, r.back());
  PointF e = LastEnd(page);
  EXPECT_NEAR(-w, e.x, 1e-5f);
  EXPECT_NEAR(h * 0.5f, e.y, 1e-6f);
  EXPECT_NEAR(t, page.elapsed, 1e-5f);
  // Finished: idle, default radius, both points at (w, 0).
  EXPECT_EQ(0, page.animationKind.load());
  EXPECT_EQ(CTurnPage::kDefaultRadius, page.radius);
  EXPECT_EQ(w, page.endPoint.x);
  EXPECT_EQ(0.0f, page.endPoint.y);
  EXPECT_EQ(w, page.startPoint.x);
}

TEST_F(TurnPageAnimationTest, AutoReturnEndsFlatOnTheRight) {
  EXPECT_EQ(2, page.SetAnimation(4, 0.1f, 0.2f, 0.3f, 0.4f, 2));
  EXPECT_EQ(-0.8f * w, page.endPoint.x);
  EXPECT_FLOAT_EQ(1.8f * w * 3.0f * 2.0f, page.remaining);
  EXPECT_EQ(-0.0036f, page.acceleration.x);
  std::vector<int> r = RunFrames(&page, 33);
  EXPECT_EQ(2, r.back());
  PointF e = LastEnd(page);
  EXPECT_NEAR(w, e.x, 1e-5f);
  EXPECT_NEAR(0.5f * h, e.y, 1e-6f);
}

TEST_F(TurnPageAnimationTest, FallBackReturnsThree) {
  // A curled page falls back: the carried corner returns to its flat place. Near the spine
  // the curl flag is set and the stored fold decides; otherwise the released points do.
  for (float x1 : {0.2f, 0.05f}) {
    RecordingPage p(w, h, 43, 24);
    p.animationKind = CTurnPage::kDragging;
    p.Update(w, 0.0f, x1, 0.3f, 33);
    float a = p.foldLine[0];
    float b = p.foldLine[1];
    float c = p.foldLine[2];
    float s = p.curlFlag ? -a / b : -1.0f / (0.3f / (x1 - w));
    EXPECT_EQ(x1 > 0.1f, !p.curlFlag.load());
    EXPECT_EQ(0, p.SetAnimation(5, w, 0.0f, x1, 0.3f, 1));
    // The fold's slope picks the corner whose mirror image is the end point, and the flat
    // corner it returns to.
    float ex = 0.0f;
    float ey = 0.0f;
    CVirtualPage::ReflectPoint(w, s < 0.0f ? h : 0.0f, &ex, &ey, a, b, c);
    EXPECT_FLOAT_EQ(ex, p.endPoint.x);
    EXPECT_FLOAT_EQ(ey, p.endPoint.y);
    PointF target = p.startPoint;
    EXPECT_EQ(w, target.x);
    EXPECT_EQ(s > 0.0f ? 0.0f : h, target.y);
    std::vector<int> r = RunFrames(&p, 33);
    EXPECT_EQ(3, r.back());
    EXPECT_EQ(0, Count(r, -1));
    PointF e = LastEnd(p);
    EXPECT_NEAR(target.x, e.x, 1e-5f);
    EXPECT_NEAR(target.y, e.y, 1e-5f);
  }
}

TEST_F(TurnPageAnimationTest, FallBackFromAVerticalFoldIsOneShortStep) {
  page.animationKind = CTurnPage::kDragging;
  page.Update(w, 0.3f, 0.1f, 0.3f, 33);  // level drag: B = 0
  ASSERT_EQ(0.0f, page.foldLine[1]);
  ASSERT_TRUE(page.curlFlag.load());
  EXPECT_EQ(0, page.SetAnimation(5, w, 0.3f, 0.1f, 0.3f, 1));
  EXPECT_EQ(0.1f, page.remaining);
  EXPECT_EQ(w, page.endPoint.x);
  EXPECT_EQ(0.3f, page.endPoint.y);
  EXPECT_EQ(3, page.Update(0, 0, 0, 0, 33));
}

TEST_F(TurnPageAnimationTest, BounceChainsToFallBackReportingMinusOneOnce) {
  EXPECT_EQ(1, page.SetAnimation(6, 0.0f, 0.0f, 0.0f, 0.0f, 3));
  EXPECT_EQ(6, page.animationParam);
  EXPECT_FLOAT_EQ(0.12f * 5.0f * 3.0f, page.remaining);
  std::vector<int> r = RunFrames(&page, 33);
  EXPECT_EQ(1, Count(r, -1));
  EXPECT_EQ(3, r.back());
  ASSERT_EQ(2u, page.calls.size());
  Call const& chained = page.calls[1];
  EXPECT_EQ(5, chained.kind);
  // Start and end swapped: from where the bounce ended back to the corner.
  EXPECT_NEAR(w - 0.24f, chained.x0, 1e-5f);
  EXPECT_NEAR(0.0f, chained.y0, 1e-5f);
  EXPECT_EQ(w, chained.x1);
  EXPECT_EQ(0.0f, chained.y1);
  EXPECT_EQ(6, chained.param);
}

TEST_F(TurnPageAnimationTest, CompleteTurnChainsToGlideReportingMinusOneOnce) {
  float x1 = 0.3f;
  float y1 = 0.25f;
  float r0 = page.radius;
  EXPECT_EQ(1, page.SetAnimation(2, w, 0.0f, x1, y1, 2));
  EXPECT_EQ(2, page.animationKind.load());
  EXPECT_EQ(2, page.animationParam);
  float dx = r0 * kPi * 0.5f - w - x1;
  float dy = -y1;
  EXPECT_NEAR(sqrtf(dx * dx + dy * dy) * 5.6f * 2.0f, page.remaining, 1e-5f);
  std::vector<int> r = RunFrames(&page, 33);
  EXPECT_EQ(1, Count(r, -1));
  EXPECT_EQ(1, r.back());
  ASSERT_EQ(2u, page.calls.size());
  Call const& glide = page.calls[1];
  EXPECT_EQ(9, glide.kind);
  // Kind 2 ends on the start mirrored in x = r pi / 4 ...
  EXPECT_NEAR(r0 * kPi * 0.5f - w, glide.x1, 1e-5f);
  EXPECT_NEAR(0.0f, glide.y1, 1e-5f);
  // ... and the glide on the start mirrored in the spine.
  PointF e = LastEnd(page);
  EXPECT_NEAR(-w, e.x, 1e-5f);
  EXPECT_NEAR(0.0f, e.y, 1e-5f);
}

TEST_F(TurnPageAnimationTest, CompleteTurnNearTheSpineGlidesAtOnce) {
  // Released closer to the spine than r pi / 4: straight into the glide, no chained report.
  float x1 = 0.02f;
  EXPECT_EQ(0, page.SetAnimation(2, w, 0.1f, x1, 0.4f, 1));
  EXPECT_EQ(9, page.animationKind.load());
  ASSERT_EQ(2u, page.calls.size());
  EXPECT_EQ(9, page.calls[1].kind);
  float dx = -w - x1;
  float dy = 0.1f - 0.4f;
  float t = sqrtf(dx * dx + dy * dy) * 5.0f;
  EXPECT_NEAR(t, page.remaining, 1e-5f);
  EXPECT_NEAR(dx / t, page.velocity.x, 1e-6f);
  EXPECT_NEAR(dy / t, page.velocity.y, 1e-6f);
  EXPECT_FALSE(page.firstFrame);
  std::vector<int> r = RunFrames(&page, 33);
  EXPECT_EQ(0, Count(r, -1));
  EXPECT_EQ(1, r.back());
  PointF e = LastEnd(page);
  EXPECT_NEAR(-w, e.x, 1e-5f);
  EXPECT_NEAR(0.1f, e.y, 1e-5f);
}

TEST_F(TurnPageAnimationTest, RaisedTurnHalfTurnAndWideReturn) {
  struct Case {
    int kind;
    int setup;
    int result;
    float tx;
    float ty;
  } const cases[] = {
      {7, 0, 1, -w, 0.5f * h + 0.16f * w / h},
      {8, 2, 2, w, 0.05f},
      {10, 2, 2, w, 0.01f},
  };
  for (Case const& c : cases) {
    RecordingPage p(w, h, 43, 24);
    EXPECT_EQ(c.setup, p.SetAnimation(c.kind, w, 0.0f, w - 0.01f, 0.0f, 1)) << c.kind;
    std::vector<int> r = RunFrames(&p, 33);
    EXPECT_EQ(c.result, r.back()) << c.kind;
    EXPECT_EQ(0, Count(r, -1)) << c.kind;
    PointF e = LastEnd(p);
    EXPECT_NEAR(c.tx, e.x, 2e-5f) << c.kind;
    EXPECT_NEAR(c.ty, e.y, 2e-5f) << c.kind;
  }
  // Kind 10 keeps its own radius: 0.14 growing by 0.14 over the motion.
  RecordingPage p(w, h, 43, 24);
  p.SetAnimation(10, 0, 0, 0, 0, 1);
  EXPECT_EQ(0.14f, p.radius);
  EXPECT_EQ(-0.9f * w, p.endPoint.x);  // portrait: h >= w
  float t = p.remaining;
  EXPECT_NEAR(0.14f / t, p.radiusVelocity, 1e-9f);
  p.Update(0, 0, 0, 0, 33);
  EXPECT_NEAR(0.14f + 0.14f / t, p.radius, 1e-6f);
}

TEST_F(TurnPageAnimationTest, LargeStepsAreClampedOntoTheTarget) {
  EXPECT_EQ(2, page.SetAnimation(4, 0, 0, 0, 0, 1));
  float t = page.remaining;
  ASSERT_GT(t, 1.0f);
  // First frame: one unit whatever the clock says; then the huge step is cut to what is left.
  EXPECT_EQ(0, page.Update(0, 0, 0, 0, 1000000));
  EXPECT_EQ(1.0f, page.elapsed);
  EXPECT_EQ(2, page.Update(0, 0, 0, 0, 1000000));
  EXPECT_FLOAT_EQ(t, page.elapsed);
  EXPECT_EQ(0.0f, page.remaining);
  PointF e = LastEnd(page);
  EXPECT_NEAR(w, e.x, 1e-5f);
}

TEST_F(TurnPageAnimationTest, OneTimeUnitIs33Milliseconds) {
  page.SetAnimation(3, 0, 0, 0, 0, 5);
  page.Update(0, 0, 0, 0, 500);  // first frame: one unit
  EXPECT_EQ(1.0f, page.elapsed);
  page.Update(0, 0, 0, 0, 33);
  EXPECT_FLOAT_EQ(2.0f, page.elapsed);
  page.Update(0, 0, 0, 0, 66);
  EXPECT_FLOAT_EQ(4.0f, page.elapsed);
  page.Update(0, 0, 0, 0, 0);
  EXPECT_FLOAT_EQ(4.0f, page.elapsed);
  page.Update(0, 0, 0, 0, 11);
  EXPECT_FLOAT_EQ(4.0f + 1.0f / 3.0f, page.elapsed);
  // A clock running backwards does not rewind.
  page.Update(0, 0, 0, 0, -100);
  EXPECT_FLOAT_EQ(4.0f + 1.0f / 3.0f, page.elapsed);
  // The end point follows the motion equation.
  PointF e = LastEnd(page);
  EXPECT_FLOAT_EQ(e.x, page.endPoint.x);
}

TEST_F(TurnPageAnimationTest, UnknownKindSetsNoMotion) {
  page.remaining = 0.0f;
  EXPECT_EQ(0, page.SetAnimation(11, 0.1f, 0.2f, 0.3f, 0.4f, 1));
  EXPECT_EQ(11, page.animationKind.load());
  EXPECT_EQ(0.3f, page.originPoint.x);
  // It ends on the next frame, not left of the spine.
  EXPECT_EQ(2, page.Update(0, 0, 0, 0, 33));
  EXPECT_EQ(0, page.animationKind.load());
}

TEST_F(TurnPageAnimationTest, BusyPageSkipsSetUpAndSteps) {
  page.SetAnimation(3, 0, 0, 0, 0, 1);
  page.Update(0, 0, 0, 0, 33);
  std::vector<float> mesh(page.vertices, page.vertices + 3 * page.vertexCount);
  page.busy = CTurnPage::kSettingUp;
  EXPECT_EQ(0, page.SetAnimation(4, 0, 0, 0, 0, 1));
  EXPECT_EQ(3, page.animationKind.load());
  EXPECT_EQ(0, page.UpdateAnimation(33));
  EXPECT_EQ(1.0f, page.elapsed);
  // The whole frame is skipped: no step, no new mesh.
  EXPECT_EQ(0, page.Update(0, 0, 0, 0, 33));
  EXPECT_EQ(1.0f, page.elapsed);
  EXPECT_EQ(mesh, std::vector<float>(page.vertices, page.vertices + 3 * page.vertexCount));
  page.busy = CTurnPage::kFree;
  // A set-up waiting for its turn also makes frames give way.
  page.waiting = 1;
  EXPECT_EQ(0, page.Update(0, 0, 0, 0, 33));
  EXPECT_EQ(1.0f, page.elapsed);
  page.waiting = 0;
  EXPECT_EQ(0, page.UpdateAnimation(33));
  EXPECT_EQ(2.0f, page.elapsed);
  EXPECT_EQ(CTurnPage::kFree, page.busy.load());
}

TEST_F(TurnPageAnimationTest, ChainedSetUpRunsInsideTheFrame) {
  // The follow-up is set up while the frame still holds the page, so no other set-up can
  // slip in between and none is refused.
  class Probe : public CTurnPage {
   public:
    Probe(float w, float h) : CTurnPage(w, h, 43, 24) {}
    int SetAnimation(int kind, float x0, float y0, float x1, float y1, long param) override {
      states.push_back(busy.load());
      return CTurnPage::SetAnimation(kind, x0, y0, x1, y1, param);
    }
    std::vector<int> states;
  } probe(w, h);
  probe.SetAnimation(6, 0, 0, 0, 0, 1);
  std::vector<int> r = RunFrames(&probe, 33);
  EXPECT_EQ(3, r.back());
  ASSERT_EQ(2u, probe.states.size());
  EXPECT_EQ(CTurnPage::kFree, probe.states[0]);
  EXPECT_EQ(CTurnPage::kUpdating, probe.states[1]);
  EXPECT_EQ(CTurnPage::kFree, probe.busy.load());
}

TEST_F(TurnPageAnimationTest, ZeroOrNegativeTimeArrivesAtOnce) {
  for (long param : {0L, -3L}) {
    for (int kind = 2; kind <= 10; ++kind) {
      RecordingPage p(w, h, 43, 24);
      p.animationKind = CTurnPage::kDragging;
      p.Update(w, 0.0f, 0.25f, 0.3f, 33);
      p.SetAnimation(kind, w, 0.0f, 0.25f, 0.3f, param);
      EXPECT_EQ(0.0f, p.remaining) << kind;
      EXPECT_TRUE(isfinite(p.velocity.x) && isfinite(p.velocity.y)) << kind;
      EXPECT_TRUE(isfinite(p.endPoint.x) && isfinite(p.endPoint.y)) << kind;
      std::vector<int> r = RunFrames(&p, 33, 10);
      EXPECT_GT(r.back(), 0) << kind;
      EXPECT_LE(r.size(), 3u) << kind;
    }
  }
}

TEST_F(TurnPageAnimationTest, GlideNeverRunsBackwardsInTime) {
  // With a long kind-2 motion its initial velocity points away from the glide's target; the
  // glide still heads for the target in positive time.
  EXPECT_EQ(1, page.SetAnimation(2, w, 0.0f, 0.5f, 0.3f, 40));
  std::vector<int> r = RunFrames(&page, 330);
  EXPECT_EQ(1, Count(r, -1));
  EXPECT_EQ(1, r.back());
  PointF e = LastEnd(page);
  EXPECT_NEAR(-w, e.x, 1e-4f);
  EXPECT_NEAR(0.0f, e.y, 1e-4f);
  EXPECT_GT(page.elapsed, 0.0f);
}

TEST_F(TurnPageAnimationTest, EveryKindEndsWithItsResultAndAValidMeshEachFrame) {
  // From a real release after a drag, with several time factors and frame lengths.
  int const want[] = {0, 0, 1, 1, 2, 3, 3, 1, 2, 1, 2};
  for (int kind = 2; kind <= 10; ++kind) {
    for (long param : {1L, 3L}) {
      for (long ms : {16L, 33L, 50L}) {
        RecordingPage p(w, h, 43, 24);
        p.animationKind = CTurnPage::kDragging;
        p.Update(w, 0.0f, 0.15f, 0.35f, ms);
        p.SetAnimation(kind, w, 0.0f, 0.15f, 0.35f, param);
        std::vector<int> r = RunFrames(&p, ms);
        EXPECT_EQ(want[kind], r.back()) << "kind " << kind;
        EXPECT_LE(Count(r, -1), 1) << "kind " << kind;
        EXPECT_EQ(0, p.animationKind.load());
      }
    }
  }
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
