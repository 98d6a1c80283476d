// The turning sheet of the open-book layout. One texture holds a two-page spread: the front
// face shows its right half and the back face its left half, so turning the sheet over the
// spine reveals the other half. The sheet lies right of the spine (mirror 1) or, mirrored,
// left of it (mirror -1).
#ifndef VELLIX_PAGE_DUAL_TURN_PAGE_H
#define VELLIX_PAGE_DUAL_TURN_PAGE_H

#include "page/turn_page.h"

namespace kestrin {
namespace GL {

class CDualTurnPage : public CTurnPage {
 public:
  CDualTurnPage(float w, float h, int rows, int cols);
  ~CDualTurnPage() override;

  using CTurnPage::Draw;
  using CTurnPage::SetTexture;
  void SetTexture(float, float, float, float) override;
  void Draw(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uMinDiffuse) override;
  int Update(float x0, float y0, float x1, float y1, long ms) override;
  int SetAnimation(int kind, float x0, float y0, float x1, float y1, long param) override;
  // Draws with the face that looks at the viewer on the sheet's side of the spine.
  void DrawByArray(int aPosition, int aTexCoord, float** positions, float** texCoords,
                   unsigned short** indexList, int count) override;
  void DrawCurl(int aPosition, int aTexCoord, int uAlpha, int aNormal, int uKs, int uMinDiffuse,
                int uCeilKs) override;
  void DrawFlat(int aPosition, int aTexCoord) override;
  // Puts the sheet on side s of the spine (1 right, -1 left), flat.
  void TurnSide(int s) override;
  void SetGLTexCoord(int aTexCoord) override;
  virtual void DrawFrontCurl(int aTexCoord);
  virtual void DrawBackCurl(int aTexCoord);

  float* backTexCoords;
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_PAGE_DUAL_TURN_PAGE_H
