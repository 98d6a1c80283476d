// The shadow the curling page casts on the page beneath it: a quad from the cylinder's base
// line to the shadow of the cylinder's top edge, projected from a light point onto the table.
#ifndef VELLIX_PAGE_SHADOW_PAGE_H
#define VELLIX_PAGE_SHADOW_PAGE_H

#include "page/turn_page.h"

namespace kestrin {
namespace GL {

class CShadowPage : public CVirtualPage {
 public:
  CShadowPage(float w, float h, int rows, int cols);
  ~CShadowPage() override;

  using CVirtualPage::Draw;
  void Draw(int aPosition, int aTexCoord) override;
  // Rebuilds the quad from the turning page's shadow quad; the arguments are not used.
  int Update(float, float, float, float, long) override;
  // Where the ray from `light` through p meets z = 0.
  void GetIntersection(float const* p, float const* light, float* out, float);

  float lightPoint[3];
  // The page whose shadow is drawn; not owned.
  CTurnPage* turnPage;
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_PAGE_SHADOW_PAGE_H
