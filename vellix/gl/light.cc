#include "gl/light.h"

namespace kestrin {
namespace GL {

// At the origin, white. The fourth colour value is uploaded with the colour, so it is given a
// defined value too.
CLight::CLight() : position{0.0f, 0.0f, 0.0f}, color{1.0f, 1.0f, 1.0f, 1.0f} {}

CLight::~CLight() {}

}  // namespace GL
}  // namespace kestrin
