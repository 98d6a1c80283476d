#include "page/virtual_page.h"

#include <android/log.h>

namespace kestrin {
namespace GL {

CVirtualPage::CVirtualPage()
    : vertices(nullptr),
      normals(nullptr),
      indices(nullptr),
      texCoords(nullptr),
      frontTexture(nullptr),
      backTexture(nullptr),
      curlFlag(false),
      animationKind(0),
      remaining(0.0f),
      animationParam(0),
      width(0.0f),
      height(0.0f),
      rows(1),
      cols(1),
      vertexCount(0),
      indexCount(0),
      side(1),
      backDiffuse(0.2f),
      filter(GL_NEAREST),
      firstFrame(false),
      backTint{1.0f, 1.0f, 1.0f, 0.8f},
      mirror(1) {}

CVirtualPage::CVirtualPage(float w, float h, int rows_, int cols_) : CVirtualPage() {
  rows = rows_;
  cols = cols_;
  CreateMesh();
  SetShape(w, h);
  SetTexture(0.0f, 1.0f, 0.0f, 1.0f);
  SetIndex();
}

CVirtualPage::~CVirtualPage() {
  FreeMesh();
}

void CVirtualPage::FreeMesh() {
  delete[] vertices;
  delete[] normals;
  delete[] indices;
  delete[] texCoords;
  vertices = nullptr;
  normals = nullptr;
  indices = nullptr;
  texCoords = nullptr;
}

void CVirtualPage::CreateMesh() {
  FreeMesh();
  long long count = (static_cast<long long>(rows) + 1) * (static_cast<long long>(cols) + 1);
  // A grid that 16-bit indices cannot address (or an empty one) would be drawn from outside
  // the arrays; fall back to a single cell.
  if (rows < 1 || cols < 1 || count > kMaxVertices) {
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "CreateMesh: grid %dx%d out of range", rows,
                        cols);
    rows = 1;
    cols = 1;
  }
  indexCount = rows * cols * 6;
  indices = new unsigned short[indexCount];
  vertexCount = (rows + 1) * (cols + 1);
  vertices = new float[vertexCount * 3];
  normals = new float[vertexCount * 3];
  texCoords = new float[vertexCount * 2];
}

void CVirtualPage::SetShape(float w, float h) {
  width = w;
  height = h;
  float dx = w / cols;
  float dy = h / rows;
  float y = 0.0f;
  for (int i = 0; i <= rows; ++i) {
    float x = 0.0f;
    for (int j = 0; j <= cols; ++j) {
      int k = (i * (cols + 1) + j) * 3;
      vertices[k] = x * mirror;
      vertices[k + 1] = y;
      vertices[k + 2] = 0.0f;
      normals[k] = 0.0f;
      normals[k + 1] = 0.0f;
      normals[k + 2] = 1.0f;
      x += dx;
    }
    y += dy;
  }
}

void CVirtualPage::SetTexture(float, float, float, float) {
  float du = 1.0f / cols;
  float dv = 1.0f / rows;
  float v = 0.0f;
  for (int i = 0; i <= rows; ++i) {
    float u = 0.0f;
    for (int j = 0; j <= cols; ++j) {
      int k = (i * (cols + 1) + j) * 2;
      texCoords[k] = u;
      texCoords[k + 1] = 1.0f - v;
      u += du;
    }
    v += dv;
  }
}

void CVirtualPage::CellIndices(int v, unsigned short* out) const {
  out[0] = static_cast<unsigned short>(v);
  out[1] = static_cast<unsigned short>(v + 1);
  out[2] = static_cast<unsigned short>(v + cols + 2);
  out[3] = static_cast<unsigned short>(v);
  out[4] = static_cast<unsigned short>(v + cols + 2);
  out[5] = static_cast<unsigned short>(v + cols + 1);
}

void CVirtualPage::SetIndex() {
  indexCount = rows * cols * 6;
  unsigned short* out = indices;
  for (int i = 0; i < rows; ++i) {
    for (int j = 0; j < cols; ++j) {
      CellIndices(i * (cols + 1) + j, out);
      out += 6;
    }
  }
}

int CVirtualPage::ResetParameters() {
  rows = 1;
  cols = 1;
  side = 1;
  animationKind = 0;
  remaining = 0.0f;
  frontTexture = nullptr;
  backTexture = nullptr;
  return 0;
}

void CVirtualPage::Draw(int aPosition, int aTexCoord) {
  if (side < 0 || frontTexture == nullptr)
    return;
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
  frontTexture->Bind();
  frontTexture->SetFilter(filter);
  glCullFace(GL_BACK);
  glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_SHORT, indices);
}

void CVirtualPage::Draw(int aPosition, int aTexCoord, int uAlpha, int aNormal, int) {
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
  glVertexAttribPointer(static_cast<GLuint>(aNormal), 3, GL_FLOAT, GL_FALSE, 0, normals);
  glUniform4f(uAlpha, 0.0f, 0.0f, 0.0f, 0.0f);
  if (side >= 0) {
    if (frontTexture != nullptr) {
      frontTexture->Bind();
      frontTexture->SetFilter(GL_NEAREST);
    }
    glCullFace(GL_BACK);
    glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_SHORT, indices);
  }
  if (side <= 0) {
    if (backTexture != nullptr) {
      backTexture->Bind();
      backTexture->SetFilter(GL_NEAREST);
    }
    glCullFace(GL_FRONT);
    glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_SHORT, indices);
  }
}

int CVirtualPage::Update(float, float, float, float, long) {
  return 0;
}

int CVirtualPage::SetAnimation(int, float, float, float, float, long) {
  return 0;
}

void CVirtualPage::DrawByArray(int aPosition, int aTexCoord, float** positions, float** texCoords_,
                               unsigned short** indexList, int count) {
  // Without a texture or an index list there is nothing sensible to draw.
  if (frontTexture == nullptr || indexList == nullptr || *indexList == nullptr || count <= 0)
    return;
  float* p = (positions != nullptr && *positions != nullptr) ? *positions : vertices;
  float* t = (texCoords_ != nullptr && *texCoords_ != nullptr) ? *texCoords_ : texCoords;
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, p);
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, t);
  frontTexture->Bind();
  frontTexture->SetFilter(filter);
  glCullFace(GL_BACK);
  glDrawElements(GL_TRIANGLES, count, GL_UNSIGNED_SHORT, *indexList);
}

void CVirtualPage::ReflectPoint(float x, float y, float* ox, float* oy, float a, float b, float c) {
  if (a == 0.0f && b == 0.0f) {
    *ox = x;
    *oy = y;
  } else if (b == 0.0f) {
    *oy = y;
    *ox = -2.0f * c / a - x;
  } else if (a == 0.0f) {
    *ox = x;
    *oy = -2.0f * c / b - y;
  } else {
    float f = a * (a / b);
    float ry = ((f - b) * y + (c + a * x) * -2.0f) / (f + b);
    *oy = ry;
    *ox = x + (a / b) * (ry - y);
  }
}

void CVirtualPage::ProjectPoint(float x, float y, float* ox, float* oy, float a, float b, float c) {
  if (a == 0.0f && b == 0.0f) {
    *ox = x;
    *oy = y;
  } else if (b == 0.0f) {
    *ox = -c / a;
    *oy = y;
  } else if (a == 0.0f) {
    *ox = x;
    *oy = -c / b;
  } else {
    float py = y - b * (b * y + a * x + c) / (b * b + a * a);
    *oy = py;
    *ox = (-c - b * py) / a;
  }
}

}  // namespace GL
}  // namespace kestrin
