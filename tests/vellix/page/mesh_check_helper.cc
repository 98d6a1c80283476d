#include "vellix/page/mesh_check_helper.h"

#include <math.h>
#include <stdio.h>

#include <vector>

namespace kestrin {
namespace GL {

namespace {

constexpr double kHalfPi = 1.5707963267948966;

std::string Fault(char const* fmt, double a = 0, double b = 0, double c = 0, double d = 0) {
  char buf[256];
  snprintf(buf, sizeof(buf), fmt, a, b, c, d);
  return buf;
}

bool Near(double want, double got, double tol) {
  return fabs(want - got) <= tol * (1.0 + fabs(want));
}

// Marks the cells a 6-index group covers. Returns false when the group is neither a cell in
// the expected diagonal pattern nor (when quad_allowed) the quad over the first n columns.
bool MarkGroup(unsigned short const* g, int rows, int cols, bool rising, bool quad_allowed,
               std::vector<int>* cover, int* collapsed) {
  int const stride = cols + 1;
  int v = g[0];
  int i = v / stride;
  int j = v % stride;
  if (i < rows && j < cols) {
    unsigned short const want_rising[6] = {static_cast<unsigned short>(v),
                                           static_cast<unsigned short>(v + 1),
                                           static_cast<unsigned short>(v + stride + 1),
                                           static_cast<unsigned short>(v),
                                           static_cast<unsigned short>(v + stride + 1),
                                           static_cast<unsigned short>(v + stride)};
    unsigned short const want_falling[6] = {static_cast<unsigned short>(v),
                                            static_cast<unsigned short>(v + 1),
                                            static_cast<unsigned short>(v + stride),
                                            static_cast<unsigned short>(v + 1),
                                            static_cast<unsigned short>(v + stride + 1),
                                            static_cast<unsigned short>(v + stride)};
    unsigned short const* want = rising ? want_rising : want_falling;
    bool match = true;
    for (int k = 0; k < 6; ++k)
      match = match && g[k] == want[k];
    if (match) {
      ++(*cover)[static_cast<size_t>(i * cols + j)];
      return true;
    }
  }
  if (!quad_allowed || g[0] != 0 || g[3] != 0)
    return false;
  int n = g[1];
  int top = rows * stride;
  if (n < 1 || n > cols || g[2] != n + top || g[4] != n + top || g[5] != top)
    return false;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < n; ++c)
      ++(*cover)[static_cast<size_t>(r * cols + c)];
  }
  *collapsed += n;
  return true;
}

}  // namespace

std::string CheckCurlMesh(CTurnPage const& page, MeshStats* stats) {
  MeshStats local;
  MeshStats& st = stats != nullptr ? *stats : local;
  int const rows = page.rows;
  int const cols = page.cols;
  int const stride = cols + 1;
  int const nv = (rows + 1) * stride;
  if (nv != page.vertexCount)
    return Fault("vertex count %g, grid has %g", page.vertexCount, nv);
  double const a = page.foldLine[0];
  double const b = page.foldLine[1];
  double const c = page.foldLine[2];
  double const l = sqrt(a * a + b * b);
  if (l == 0.0)
    return "curled mesh without a fold line";
  double const r = page.radius;
  double const m = page.mirror;
  double const base = c + l * r * kHalfPi;
  double const w = page.width;
  double const h = page.height;
  // Float rounding grows with the size of the terms and, for steep folds, with A / B (the
  // mirror formulas divide by B, which is kept at least 0.0001 for that reason).
  double const scale = fabs(c) + fabs(b) * h + fabs(a) * w;
  double const steep = b != 0.0 ? fabs(a / b) : 0.0;
  double const tol = 2e-5 * (1.0 + scale) + 2e-7 * steep * (1.0 + h + w);

  for (int i = 0; i <= rows; ++i) {
    for (int j = 0; j <= cols; ++j) {
      int v = i * stride + j;
      float const* p = page.vertices + 3 * v;
      float const* n = page.normals + 3 * v;
      for (int k = 0; k < 3; ++k) {
        if (!isfinite(p[k]) || !isfinite(n[k]))
          return Fault("vertex (%g, %g) not finite", i, j);
      }
      double gx = j * w / cols;
      double gy = i * h / rows;
      double px = p[0] * m;  // undo the mirror
      double py = p[1];
      double pz = p[2];
      double theta = (a * gx + b * gy + c) / (l * r);
      if (n[0] == 0.0f && n[1] == 0.0f && n[2] == -1.0f) {
        ++st.flat;
        if (pz != 0.0 || !Near(gx, px, tol) || !Near(gy, py, tol))
          return Fault("flat vertex %g off its grid point (%g, %g), z %g", v, gx, gy, pz);
        if (r > 0.0 && theta > -kHalfPi + 1e-3)
          return Fault("vertex %g at angle %g drawn flat", v, theta);
      } else if (n[0] == 0.0f && n[1] == 0.0f && n[2] == 1.0f) {
        ++st.flipped;
        if (p[2] != 2.0f * page.radius)
          return Fault("flipped vertex %g at z %g, radius %g", v, pz, r);
        double dd = (a * gx + b * gy + c) / (a * a + b * b);
        double rx = gx - 2.0 * a * dd;
        double ry = gy - 2.0 * b * dd;
        if (!Near(rx, px, tol) || !Near(ry, py, tol))
          return Fault("flipped vertex %g at (%g, %g), mirror image x %g", v, px, py, rx) +
                 Fault(" y %g, fold %g %g %g", ry, a, b, c);
        if (r > 0.0 && theta < kHalfPi - 1e-3)
          return Fault("vertex %g at angle %g drawn flipped", v, theta);
      } else {
        ++st.cylinder;
        // Offset from the axis: across the base line in the plane, and up from z = r.
        double across = (a * px + b * py + base) / l;
        double up = pz - r;
        double dist = sqrt(across * across + up * up);
        if (fabs(dist - r) > tol)
          return Fault("cylinder vertex %g at distance %g from the axis, radius %g", v, dist, r);
        if (pz < -tol || pz > 2.0 * r + tol)
          return Fault("cylinder vertex %g at height %g, radius %g", v, pz, r);
        if (fabs(n[2] - up) > tol || fabs(n[0] - across * a / l) > tol ||
            fabs(n[1] - across * b / l) > tol)
          return Fault("cylinder vertex %g normal (%g, %g, %g) not radial", v, n[0], n[1], n[2]);
        if (fabs(theta) > kHalfPi + 1e-3)
          return Fault("vertex %g at angle %g put on the cylinder", v, theta);
      }
    }
  }

  int const capacity = rows * cols * 6;
  if (page.indexCount < 0 || page.indexCount > capacity || page.indexCount % 6 != 0)
    return Fault("flat index count %g, capacity %g", page.indexCount, capacity);
  if (page.curlIndexCount < 0 || page.curlIndexCount > capacity || page.curlIndexCount % 6 != 0)
    return Fault("curl index count %g, capacity %g", page.curlIndexCount, capacity);
  for (int k = 0; k < page.indexCount; ++k) {
    if (page.indices[k] >= nv)
      return Fault("flat index %g = %g beyond %g vertices", k, page.indices[k], nv);
  }
  for (int k = 0; k < page.curlIndexCount; ++k) {
    if (page.curlIndices[k] >= nv)
      return Fault("curl index %g = %g beyond %g vertices", k, page.curlIndices[k], nv);
  }

  float const fa = page.foldLine[0];
  float const fb = page.foldLine[1];
  bool const rising = -fa / fb >= 0.0f;
  std::vector<int> cover(static_cast<size_t>(rows * cols), 0);
  int groups = page.indexCount / 6;
  for (int g = 0; g < groups; ++g) {
    if (!MarkGroup(page.indices + 6 * g, rows, cols, rising, g == groups - 1, &cover,
                   &st.collapsed))
      return Fault("flat group %g is not a cell of the expected pattern", g);
  }
  for (int g = 0; g < page.curlIndexCount / 6; ++g) {
    if (!MarkGroup(page.curlIndices + 6 * g, rows, cols, rising, false, &cover, &st.collapsed))
      return Fault("curl group %g is not a cell of the expected pattern", g);
  }
  for (size_t k = 0; k < cover.size(); ++k) {
    if (cover[k] != 1)
      return Fault("cell %g covered %g times", static_cast<double>(k), cover[k]);
  }

  // With cells about as tall as wide, the flat list stays clear of the cylinder.
  if (h / rows <= 1.2 * w / cols) {
    for (int k = 0; k < page.indexCount; ++k) {
      float z = page.vertices[3 * page.indices[k] + 2];
      if (fabs(z) > 1e-5)
        return Fault("flat list draws vertex %g at height %g", page.indices[k], z);
    }
  }
  return "";
}

std::string CheckFlatMesh(CTurnPage const& page) {
  if (page.curlIndexCount != 0)
    return Fault("flat page with %g curl indices", page.curlIndexCount);
  if (page.curlFlag.load())
    return "flat page with the curl flag set";
  int const rows = page.rows;
  int const cols = page.cols;
  if (page.indexCount != rows * cols * 6)
    return Fault("flat page with %g indices, want %g", page.indexCount, rows * cols * 6);
  std::vector<int> cover(static_cast<size_t>(rows * cols), 0);
  int unused = 0;
  for (int g = 0; g < page.indexCount / 6; ++g) {
    if (!MarkGroup(page.indices + 6 * g, rows, cols, true, false, &cover, &unused))
      return Fault("flat page group %g is not a cell", g);
  }
  for (size_t k = 0; k < cover.size(); ++k) {
    if (cover[k] != 1)
      return Fault("cell %g covered %g times", static_cast<double>(k), cover[k]);
  }
  for (int v = 0; v < page.vertexCount; ++v) {
    int i = v / (cols + 1);
    int j = v % (cols + 1);
    float const* p = page.vertices + 3 * v;
    if (p[2] != 0.0f || !Near(j * page.width / cols, p[0] * page.mirror, 1e-5) ||
        !Near(i * page.height / rows, p[1], 1e-5))
      return Fault("flat page vertex %g at (%g, %g, %g)", v, p[0], p[1], p[2]);
  }
  return "";
}

}  // namespace GL
}  // namespace kestrin
