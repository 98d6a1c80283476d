#include "page/strip_mesh.h"

namespace kestrin {
namespace GL {
namespace strip {

void SetShape(CVirtualPage* page, float** mirrored, int mirrorMode, bool aboutMiddle, float w,
              float h, float x0, float x1, float y0, float y1) {
  page->width = w;
  page->height = h;
  if (*mirrored == nullptr)
    *mirrored = new float[page->vertexCount * 3]();
  int const cols = page->cols;
  int const rows = page->rows;
  float const dx = (x1 - x0) * w / cols;
  float const dy = (y1 - y0) * h / rows;
  float y = y0 * h;
  for (int i = 0; i <= rows; ++i) {
    float x = x0 * w;
    for (int j = 0; j <= cols; ++j) {
      int k = (i * (cols + 1) + j) * 3;
      float* p = page->vertices + k;
      p[0] = x * page->mirror;
      p[1] = y;
      p[2] = 0.0f;
      float* n = page->normals + k;
      n[0] = 0.0f;
      n[1] = 0.0f;
      n[2] = 1.0f;
      if (mirrorMode < 1) {
        float* q = *mirrored + k;
        q[0] = aboutMiddle ? w - p[0] : -p[0];
        q[1] = p[1];
        q[2] = p[2];
      }
      x += dx;
    }
    y += dy;
  }
}

void SetTexture(CVirtualPage* page, float uFrom, float uTo, float vFrom, float vTo) {
  int const cols = page->cols;
  int const rows = page->rows;
  float const du = (uTo - uFrom) / cols;
  float const dv = (vTo - vFrom) / rows;
  float v = vFrom;
  for (int i = 0; i <= rows; ++i) {
    float u = uFrom;
    for (int j = 0; j <= cols; ++j) {
      int k = (i * (cols + 1) + j) * 2;
      page->texCoords[k] = u;
      page->texCoords[k + 1] = 1.0f - v;
      u += du;
    }
    v += dv;
  }
}

void Draw(CVirtualPage* page, float const* mirrored, int mirrorMode, int aPosition, int aTexCoord) {
  if (page->frontTexture == nullptr)
    return;
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, page->texCoords);
  page->frontTexture->Bind();
  page->frontTexture->SetFilter(page->filter);
  if (mirrorMode >= 0) {
    glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, page->vertices);
    glCullFace(GL_BACK);
    glDrawElements(GL_TRIANGLES, page->indexCount, GL_UNSIGNED_SHORT, page->indices);
  }
  if (mirrorMode < 1 && mirrored != nullptr) {
    glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, mirrored);
    glCullFace(GL_FRONT);
    glDrawElements(GL_TRIANGLES, page->indexCount, GL_UNSIGNED_SHORT, page->indices);
  }
}

}  // namespace strip
}  // namespace GL
}  // namespace kestrin
