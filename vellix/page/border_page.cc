#include "page/border_page.h"

#include "page/strip_mesh.h"

namespace kestrin {
namespace GL {

CBorderPage::CBorderPage(float w, float h, float x0, float x1, float y0, float y1, int mirrorMode_)
    : CVirtualPage(), mirrorMode(mirrorMode_), mirroredVertices(nullptr) {
  CreateMesh();
  SetShape(w, h, x0, x1, y0, y1);
  SetTexture(x0, x1, y0, y1, false);
  SetIndex();
}

CBorderPage::~CBorderPage() {
  delete[] mirroredVertices;
}

void CBorderPage::SetShape(float w, float h, float x0, float x1, float y0, float y1) {
  strip::SetShape(this, &mirroredVertices, mirrorMode, true, w, h, x0, x1, y0, y1);
}

void CBorderPage::SetTexture(float uFrom, float uTo, float vFrom, float vTo, bool) {
  strip::SetTexture(this, uFrom, uTo, vFrom, vTo);
}

void CBorderPage::Draw(int aPosition, int aTexCoord) {
  strip::Draw(this, mirroredVertices, mirrorMode, aPosition, aTexCoord);
}

}  // namespace GL
}  // namespace kestrin
