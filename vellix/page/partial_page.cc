#include "page/partial_page.h"

#include "page/strip_mesh.h"

namespace kestrin {
namespace GL {

CPartialPage::CPartialPage(float w, float h, float x0, float x1, float y0, float y1,
                           int mirrorMode_)
    : CVirtualPage(), mirrorMode(mirrorMode_), mirroredVertices(nullptr) {
  CreateMesh();
  SetShape(w, h, x0, x1, y0, y1);
  SetTexture(x0, x1, y0, y1, false);
  SetIndex();
}

CPartialPage::~CPartialPage() {
  delete[] mirroredVertices;
}

void CPartialPage::SetShape(float w, float h, float x0, float x1, float y0, float y1) {
  strip::SetShape(this, &mirroredVertices, mirrorMode, false, w, h, x0, x1, y0, y1);
}

void CPartialPage::SetTexture(float uFrom, float uTo, float vFrom, float vTo, bool) {
  strip::SetTexture(this, uFrom, uTo, vFrom, vTo);
}

void CPartialPage::Draw(int aPosition, int aTexCoord) {
  strip::Draw(this, mirroredVertices, mirrorMode, aPosition, aTexCoord);
}

}  // namespace GL
}  // namespace kestrin
