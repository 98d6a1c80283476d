// One rectangular sheet of paper as a regular triangle grid in the z = 0 plane, with the two
// textures shown on its faces. It draws itself with whatever program the caller has bound.
#ifndef VELLIX_PAGE_VIRTUAL_PAGE_H
#define VELLIX_PAGE_VIRTUAL_PAGE_H

#include <atomic>

#include "gl/gl_texture.h"

namespace kestrin {
namespace GL {

class CVirtualPage {
 public:
  // Vertex indices are 16-bit.
  static constexpr int kMaxVertices = 65536;

  CVirtualPage();
  CVirtualPage(float w, float h, int rows, int cols);
  virtual ~CVirtualPage();
  CVirtualPage(CVirtualPage const&) = delete;
  CVirtualPage& operator=(CVirtualPage const&) = delete;

  // (Re)allocates the four arrays for rows x cols cells.
  virtual void CreateMesh();
  virtual void SetShape(float w, float h);
  virtual void SetIndex();
  // The arguments are not used: the image spans the sheet, its top row at the top.
  virtual void SetTexture(float, float, float, float);
  virtual int ResetParameters();
  virtual void Draw(int aPosition, int aTexCoord);
  virtual void Draw(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uMinDiffuse);
  virtual int Update(float x0, float y0, float x1, float y1, long ms);
  virtual int SetAnimation(int kind, float x0, float y0, float x1, float y1, long param);
  // Draws `count` indices of *indexList with the given positions and texture coordinates
  // (the page's own where a pointer is null).
  virtual void DrawByArray(int aPosition, int aTexCoord, float** positions, float** texCoords,
                           unsigned short** indexList, int count);

  // Mirror image of (x, y) in the line a x + b y + c = 0.
  static void ReflectPoint(float x, float y, float* ox, float* oy, float a, float b, float c);
  // Foot of the perpendicular from (x, y) to the line a x + b y + c = 0.
  static void ProjectPoint(float x, float y, float* ox, float* oy, float a, float b, float c);

  float* vertices;
  float* normals;
  unsigned short* indices;
  float* texCoords;
  GLTexture* frontTexture;
  GLTexture* backTexture;
  // Set by the turning page while its geometry is curled; read from other threads.
  std::atomic<bool> curlFlag;
  // Written by the touch thread when a drag starts, read by the render thread.
  std::atomic<int> animationKind;
  float remaining;
  long animationParam;
  float width;
  float height;
  int rows;
  int cols;
  int vertexCount;
  int indexCount;
  // >= 0 draws the front face, <= 0 the back face.
  int side;
  float backDiffuse;
  int filter;
  bool firstFrame;
  float backTint[4];
  // Multiplies every x written, to draw the same geometry mirrored about x = 0.
  int mirror;

 protected:
  void FreeMesh();
  // Grid cell (i, j) with lower-left vertex v, as two counter-clockwise triangles.
  void CellIndices(int v, unsigned short* out) const;
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_PAGE_VIRTUAL_PAGE_H
