// Geometry shared by the border and partial pages: a sheet covering a sub-rectangle of the
// page, optionally drawn a second time mirrored.
#ifndef VELLIX_PAGE_STRIP_MESH_H
#define VELLIX_PAGE_STRIP_MESH_H

#include "page/virtual_page.h"

namespace kestrin {
namespace GL {
namespace strip {

// Lays the grid over x0*w..x1*w, y0*h..y1*h. When mirrorMode < 1, *mirrored receives the
// mirror copy: about x = w / 2 when aboutMiddle, else about the spine x = 0.
void SetShape(CVirtualPage* page, float** mirrored, int mirrorMode, bool aboutMiddle, float w,
              float h, float x0, float x1, float y0, float y1);
// u runs from uFrom to uTo across the columns, v from 1 - vFrom to 1 - vTo across the rows.
void SetTexture(CVirtualPage* page, float uFrom, float uTo, float vFrom, float vTo);
// Draws the placed strip (mirrorMode >= 0) and its mirror copy (mirrorMode < 1).
void Draw(CVirtualPage* page, float const* mirrored, int mirrorMode, int aPosition, int aTexCoord);

}  // namespace strip
}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_PAGE_STRIP_MESH_H
