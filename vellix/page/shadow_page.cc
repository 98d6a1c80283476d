#include "page/shadow_page.h"

#include <math.h>

namespace kestrin {
namespace GL {

CShadowPage::CShadowPage(float w, float h, int rows_, int cols_)
    : CVirtualPage(w, h, rows_, cols_),
      lightPoint{-0.1f, 0.5f * h, sqrtf((w + 0.1f) / h) * 1.6f},
      turnPage(nullptr) {}

CShadowPage::~CShadowPage() {}

void CShadowPage::GetIntersection(float const* p, float const* light, float* out, float) {
  float dz = p[2] - light[2];
  // A point level with the light casts no shadow on the table; keep it where it is.
  if (dz == 0.0f) {
    out[0] = p[0];
    out[1] = p[1];
    out[2] = 0.0f;
    return;
  }
  float t = (0.0f - light[2]) / dz;
  out[0] = light[0] + t * (p[0] - light[0]);
  out[1] = light[1] + t * (p[1] - light[1]);
  out[2] = 0.0f;
}

int CShadowPage::Update(float, float, float, float, long) {
  if (turnPage == nullptr || vertexCount < 4)
    return 0;
  float const(*quad)[3] = turnPage->shadowQuad;
  // Vertex numbers of the single cell: 0 bottom-left, 1 bottom-right, 2 top-left, 3 top-right.
  float* v0 = vertices;
  float* v1 = vertices + 3;
  float* v2 = vertices + 6;
  float* v3 = vertices + 9;
  for (int k = 0; k < 3; ++k) {
    v0[k] = quad[0][k];
    v2[k] = quad[1][k];
  }
  GetIntersection(quad[2], lightPoint, v1, 0.0f);
  GetIntersection(quad[3], lightPoint, v3, 0.0f);
  // Keep the shadow's far edge within the page's height.
  if (v1[1] > 0.0f && v1[1] != v3[1]) {
    float t = (0.0f - v1[1]) / (v3[1] - v1[1]);
    v1[0] = v1[0] + t * (v3[0] - v1[0]);
    v1[1] = 0.0f;
  }
  if (v3[1] < height && v1[1] != v3[1]) {
    float t = (height - v1[1]) / (v3[1] - v1[1]);
    v3[0] = v1[0] + t * (v3[0] - v1[0]);
    v3[1] = height;
  }
  if (turnPage->mirror < 0) {
    for (int k = 0; k < 4; ++k)
      vertices[k * 3] = -vertices[k * 3];
  }
  return 0;
}

void CShadowPage::Draw(int aPosition, int aTexCoord) {
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
  glCullFace(turnPage != nullptr && turnPage->mirror < 0 ? GL_FRONT : GL_BACK);
  glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_SHORT, indices);
}

}  // namespace GL
}  // namespace kestrin
