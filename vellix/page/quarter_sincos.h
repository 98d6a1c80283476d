// sin and cos of an angle in [-pi/2, pi/2]: the cylinder angles of the curl mesh. Series to
// the 13th and 14th power need no range reduction and stay within 2e-7 of the exact values
// (a few units in the last place), at a fraction of the C library's cost.
#ifndef VELLIX_PAGE_QUARTER_SINCOS_H
#define VELLIX_PAGE_QUARTER_SINCOS_H

namespace kestrin {
namespace GL {

inline void QuarterSinCos(float t, float* s, float* c) {
  float const t2 = t * t;
  *s = t * (1.0f + t2 * (-1.0f / 6.0f +
                         t2 * (1.0f / 120.0f + t2 * (-1.0f / 5040.0f +
                                                     t2 * (1.0f / 362880.0f +
                                                           t2 * (-1.0f / 39916800.0f +
                                                                 t2 * (1.0f / 6227020800.0f)))))));
  *c = 1.0f +
       t2 * (-0.5f +
             t2 * (1.0f / 24.0f +
                   t2 * (-1.0f / 720.0f +
                         t2 * (1.0f / 40320.0f +
                               t2 * (-1.0f / 3628800.0f + t2 * (1.0f / 479001600.0f +
                                                                t2 * (-1.0f / 87178291200.0f)))))));
}

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_PAGE_QUARTER_SINCOS_H
