#include "page/quarter_sincos.h"

#include <gtest/gtest.h>
#include <math.h>

namespace kestrin {
namespace GL {
namespace {

TEST(QuarterSinCosTest, CloseToTheExactValuesOverTheWholeQuarter) {
  float const half_pi = 1.57079637f;  // the float just above pi / 2
  double worst_s = 0.0;
  double worst_c = 0.0;
  for (int i = -200000; i <= 200000; ++i) {
    float t = half_pi * static_cast<float>(i) / 200000.0f;
    float s = 0.0f;
    float c = 0.0f;
    QuarterSinCos(t, &s, &c);
    worst_s = fmax(worst_s, fabs(s - sin(static_cast<double>(t))));
    worst_c = fmax(worst_c, fabs(c - cos(static_cast<double>(t))));
    // Odd and even, exactly.
    float ms = 0.0f;
    float mc = 0.0f;
    QuarterSinCos(-t, &ms, &mc);
    ASSERT_EQ(-s, ms) << t;
    ASSERT_EQ(c, mc) << t;
  }
  EXPECT_LE(worst_s, 2e-7);
  EXPECT_LE(worst_c, 2e-7);
}

TEST(QuarterSinCosTest, ExactAtZero) {
  float s = 1.0f;
  float c = 0.0f;
  QuarterSinCos(0.0f, &s, &c);
  EXPECT_EQ(0.0f, s);
  EXPECT_EQ(1.0f, c);
  // A unit vector on the circle, so cylinder points sit at the radius.
  for (float t : {0.3f, -1.2f, 1.5707963f}) {
    QuarterSinCos(t, &s, &c);
    EXPECT_NEAR(1.0f, s * s + c * c, 5e-7f) << t;
  }
}

}  // namespace
}  // namespace GL
}  // namespace kestrin
