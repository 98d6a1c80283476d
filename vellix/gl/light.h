// The scene's single light: a position and a colour.
#ifndef VELLIX_GL_LIGHT_H
#define VELLIX_GL_LIGHT_H

namespace kestrin {
namespace GL {

class CLight {
 public:
  CLight();
  virtual ~CLight();

  float position[3];
  // Red, green, blue, then a fourth value the lit shader receives with the colour but does not
  // use.
  float color[4];
};

}  // namespace GL
}  // namespace kestrin

#endif  // VELLIX_GL_LIGHT_H
