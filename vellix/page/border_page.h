// The strip along the page's outer edge, drawn from the border image.
#ifndef VELLIX_PAGE_BORDER_PAGE_H
#define VELLIX_PAGE_BORDER_PAGE_H

#include "page/virtual_page.h"

namespace kestrin {
namespace GL {

class CBorderPage : public CVirtualPage {
 public:
  // The strip covers x0..x1 of the width and y0..y1 of the height. mirrorMode 1 draws it as
  // placed, -1 only its mirror image (about the middle of the width), 0 both.
  CBorderPage(float w, float h, float x0, float x1, float y0, float y1, int mirrorMode);
  ~CBorderPage() override;

  using CVirtualPage::Draw;
  using CVirtualPage::SetShape;
  using CVirtualPage::SetTexture;
  void Draw(int aPosition, int aTexCoord) override;
  virtual void SetShape(float w, float h, float x0, float x1, float y0, float y1);
  virtual void SetTexture(float uFrom, float uTo, float vFrom, float vTo, bool);

  int mirrorMode;
  float* mirroredVertices;
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_PAGE_BORDER_PAGE_H
