#include "page/dual_turn_page.h"

namespace kestrin {
namespace GL {

CDualTurnPage::CDualTurnPage(float w, float h, int rows_, int cols_)
    : CTurnPage(w, h, rows_, cols_), backTexCoords(nullptr) {
  SetTexture(0.0f, 1.0f, 0.0f, 1.0f);
}

CDualTurnPage::~CDualTurnPage() {
  delete[] backTexCoords;
}

void CDualTurnPage::SetTexture(float, float, float, float) {
  if (backTexCoords == nullptr)
    backTexCoords = new float[vertexCount * 2];
  float du = 0.5f / cols;
  float dv = 1.0f / rows;
  float v = 0.0f;
  for (int i = 0; i <= rows; ++i) {
    float u = 0.5f;
    for (int j = 0; j <= cols; ++j) {
      int k = (i * (cols + 1) + j) * 2;
      texCoords[k] = u;
      texCoords[k + 1] = 1.0f - v;
      backTexCoords[k] = 1.0f - u;
      backTexCoords[k + 1] = 1.0f - v;
      u += du;
    }
    v += dv;
  }
}

void CDualTurnPage::TurnSide(int s) {
  float dx = width / cols;
  for (int i = 0; i <= rows; ++i) {
    float x = 0.0f;
    for (int j = 0; j <= cols; ++j) {
      vertices[(i * (cols + 1) + j) * 3] = x * s;
      x += dx;
    }
  }
  mirror = s;
  side = 0;
}

void CDualTurnPage::SetGLTexCoord(int aTexCoord) {
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0,
                        mirror < 1 ? backTexCoords : texCoords);
}

int CDualTurnPage::Update(float x0, float y0, float x1, float y1, long ms) {
  if (mirror < 0)
    x0 = -x0;
  return CTurnPage::Update(x0, y0, x1, y1, ms);
}

int CDualTurnPage::SetAnimation(int kind, float x0, float y0, float x1, float y1, long param) {
  if (kind == kCompleteTurn && mirror < 0)
    x0 = -x0;
  return CTurnPage::SetAnimation(kind, x0, y0, x1, y1, param);
}

void CDualTurnPage::DrawFlat(int aPosition, int aTexCoord) {
  if (side >= 0 && indexCount > 0 && frontTexture != nullptr) {
    glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
    glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
    frontTexture->Bind();
    frontTexture->SetFilter(filter);
    glCullFace(GL_BACK);
    glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_SHORT, indices);
  }
  if (side < 1 && backTexture != nullptr) {
    glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
    glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, backTexCoords);
    backTexture->Bind();
    backTexture->SetFilter(filter);
    glCullFace(GL_FRONT);
    glDrawElements(GL_TRIANGLES, indexCount, GL_UNSIGNED_SHORT, indices);
  }
}

void CDualTurnPage::DrawFrontCurl(int aTexCoord) {
  if (side < 0 || frontTexture == nullptr)
    return;
  glCullFace(GL_BACK);
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
  frontTexture->Bind();
  frontTexture->SetFilter(GL_LINEAR);
  glDrawElements(GL_TRIANGLES, curlIndexCount, GL_UNSIGNED_SHORT, curlIndices);
}

void CDualTurnPage::DrawBackCurl(int aTexCoord) {
  if (side >= 1 || backTexture == nullptr)
    return;
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, backTexCoords);
  backTexture->Bind();
  backTexture->SetFilter(GL_LINEAR);
  glCullFace(GL_FRONT);
  glDrawElements(GL_TRIANGLES, curlIndexCount, GL_UNSIGNED_SHORT, curlIndices);
}

void CDualTurnPage::DrawCurl(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uKs,
                             int uMinDiffuse, int uCeilKs) {
  if (curlIndexCount <= 0)
    return;
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
  glVertexAttribPointer(static_cast<GLuint>(aNormal), 3, GL_FLOAT, GL_FALSE, 0, normals);
  glUniform4f(uAlpha, 0.0f, 0.0f, 0.0f, 0.0f);
  // The face seen first is lit as the top of the sheet, the other as its underside.
  glUniform1f(uMinDiffuse, 0.1f);
  glUniform1f(uCeilKs, 0.9f);
  glUniform2f(uKs, 0.0f, -1.0f);
  if (mirror < 1)
    DrawBackCurl(aTexCoord);
  else
    DrawFrontCurl(aTexCoord);
  glUniform1f(uMinDiffuse, 0.3f);
  glUniform1f(uCeilKs, 0.7f);
  glUniform2f(uKs, 1.0f, 1.0f);
  if (mirror < 1)
    DrawFrontCurl(aTexCoord);
  else
    DrawBackCurl(aTexCoord);
}

void CDualTurnPage::Draw(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uMinDiffuse) {
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, vertices);
  glVertexAttribPointer(static_cast<GLuint>(aNormal), 3, GL_FLOAT, GL_FALSE, 0, normals);
  if (side >= 0 && frontTexture != nullptr) {
    glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, texCoords);
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
    glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, backTexCoords);
    backTexture->Bind();
    backTexture->SetFilter(GL_LINEAR);
    glUniform1f(uMinDiffuse, backDiffuse);
    glUniform4fv(uAlpha, 1, backTint);
    glCullFace(GL_FRONT);
    if (curlIndexCount > 0)
      glDrawElements(GL_TRIANGLES, curlIndexCount, GL_UNSIGNED_SHORT, curlIndices);
  }
}

void CDualTurnPage::DrawByArray(int aPosition, int aTexCoord, float** positions, float** texCoords_,
                                unsigned short** indexList, int count) {
  bool back = mirror < 1;
  GLTexture* texture = back ? backTexture : frontTexture;
  if (texture == nullptr || indexList == nullptr || *indexList == nullptr || count <= 0)
    return;
  float* p = (positions != nullptr && *positions != nullptr) ? *positions : vertices;
  float* t = (texCoords_ != nullptr && *texCoords_ != nullptr) ? *texCoords_
             : back                                            ? backTexCoords
                                                               : texCoords;
  glCullFace(back ? GL_FRONT : GL_BACK);
  glVertexAttribPointer(static_cast<GLuint>(aPosition), 3, GL_FLOAT, GL_FALSE, 0, p);
  glVertexAttribPointer(static_cast<GLuint>(aTexCoord), 2, GL_FLOAT, GL_FALSE, 0, t);
  texture->Bind();
  texture->SetFilter(filter);
  glDrawElements(GL_TRIANGLES, count, GL_UNSIGNED_SHORT, *indexList);
}

}  // namespace GL
}  // namespace kestrin
