#include "book/gl_scene.h"

#include <android/log.h>
#include <math.h>
#include <time.h>

#include <initializer_list>

#include "gl/gl_error.h"

namespace kestrin {
namespace GL {

namespace {

// Every vertex shader places a page mesh with u_shift and projects it with a_mvp.
char const kSimpleVertex[] =
    "attribute vec4 a_position;\n"
    "attribute vec2 a_texCoord;\n"
    "uniform mat4 a_mvp;\n"
    "uniform vec4 u_shift;\n"
    "varying vec2 v_texCoord;\n"
    "void main() {\n"
    "\tgl_Position = a_mvp * (a_position + u_shift);\n"
    "\tv_texCoord = a_texCoord;\n"
    "}\n";

char const kSimpleFragment[] =
    "precision mediump float;\n"
    "varying vec2 v_texCoord;\n"
    "uniform sampler2D s_texture0;\n"
    "uniform float u_alpha;\n"
    "void main() {\n"
    "  gl_FragColor = texture2D(s_texture0, v_texCoord) * u_alpha;\n"
    "}\n";

char const kLitVertex[] =
    "attribute vec4 a_position;\n"
    "attribute vec2 a_texCoord;\n"
    "attribute vec3 a_normal;\n"
    "uniform mat4 a_mvp;\n"
    "uniform vec4 u_shift;\n"
    "uniform vec3 u_light_pos;\n"
    "uniform vec2 u_ks;\n"
    "varying vec2 v_texCoord;\n"
    "varying vec3 v_normal;\n"
    "varying vec3 v_light;\n"
    "void main() {\n"
    "\tvec3 N = normalize(a_normal * u_ks.y);\n"
    "\tvec4 v = a_mvp * (a_position + u_shift);\n"
    "\tvec3 L = u_light_pos - v.xyz;\n"
    "\tL.xy = L.xy * u_ks.x;\n"
    "\tv_normal = N;\n"
    "\tv_light = L;\n"
    "\tv_texCoord = a_texCoord;\n"
    "\tgl_Position = v;\n"
    "}\n";

char const kLitFragment[] =
    "precision mediump float;\n"
    "varying vec2 v_texCoord;\n"
    "varying vec3 v_normal;\n"
    "varying vec3 v_light;\n"
    "uniform sampler2D s_texture0;\n"
    "uniform vec4 u_alpha;\n"
    "uniform vec4 u_diffuse_color;\n"
    "uniform float u_min_diffuse;\n"
    "uniform float u_ceil_ks;\n"
    "void main() {\n"
    "  float diff = max(0.0, dot(normalize(v_normal), normalize(v_light)));\n"
    "  float adiff = diff * u_min_diffuse + u_ceil_ks;\n"
    "  vec4 color = texture2D(s_texture0, v_texCoord);\n"
    "  gl_FragColor = vec4(mix(color.rgb, u_alpha.rgb, u_alpha.a) * adiff, color.a);\n"
    "}\n";

char const kShadowVertex[] =
    "attribute vec4 a_position;\n"
    "attribute vec2 a_texCoord;\n"
    "uniform mat4 a_mvp;\n"
    "uniform vec4 u_shift;\n"
    "varying vec2 v_texCoord;\n"
    "varying float u_posx;\n"
    "void main() {\n"
    "\tgl_Position = a_mvp * (a_position + u_shift);\n"
    "\tv_texCoord = vec2((1.0 - a_texCoord.x) * 2.5, a_texCoord.y);\n"
    "\tu_posx = gl_Position.x / gl_Position.w;\n"
    "}\n";

char const kShadowFragment[] =
    "precision lowp float;\n"
    "varying vec2 v_texCoord;\n"
    "varying float u_posx;\n"
    "uniform float u_margin;\n"
    "uniform float u_radius;\n"
    "void main() {\n"
    "  float y_factor = max(0.4, distance(v_texCoord.y, 0.5));\n"
    "  float appear = step(abs(u_posx), u_margin);\n"
    "  float x_factor = min(0.3, appear * v_texCoord.x * v_texCoord.x * (1.0 - y_factor));\n"
    "  gl_FragColor = vec4(0.0, 0.0, 0.0, x_factor * u_radius);\n"
    "}\n";

char const kInkFragment[] =
    "precision mediump float;\n"
    "varying vec2 v_texCoord;\n"
    "uniform sampler2D s_texture0;\n"
    "uniform sampler2D s_texture1;\n"
    "void main() {\n"
    "  vec4 page = texture2D(s_texture0, v_texCoord);\n"
    "  vec4 ink = texture2D(s_texture1, v_texCoord);\n"
    "  gl_FragColor = page * (1.0 - ink.a) + ink;\n"
    "}\n";

constexpr double kPi = 3.14159265358979323846;

long long NowMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

void EnableArray(int location) {
  if (location >= 0)
    glEnableVertexAttribArray(static_cast<GLuint>(location));
}

void DisableArray(int location) {
  if (location >= 0)
    glDisableVertexAttribArray(static_cast<GLuint>(location));
}

}  // namespace

GLScene::GLScene()
    : book(nullptr),
      light(nullptr),
      aspect(0.0f),
      bookHeight(0.0f),
      cameraDistance(2.12f),
      screenWidth(0),
      screenHeight(0),
      offsetX(0),
      offsetY(0),
      bookPixelWidth(0),
      bookPixelHeight(0),
      pixelScale(0.0f),
      onAnimationEnd(nullptr),
      simpleProgram(nullptr),
      litProgram(nullptr),
      shadowProgram(nullptr),
      inkProgram(nullptr),
      framebuffer(0),
      visible(true),
      zoomRemaining(0.0f),
      zoomValue(0.0f),
      alpha(1.0f),
      zoomVelocity(0.0f),
      zoomAcceleration(0.0f),
      alphaVelocity(0.0f),
      alphaAcceleration(0.0f),
      zooming(false),
      zoomFirstFrame(false),
      ready(false),
      glContext(EGL_NO_CONTEXT),
      frameCount(0),
      frameMicros(0) {}

GLScene::~GLScene() {
  delete book;
  delete light;
  delete simpleProgram;
  delete litProgram;
  delete shadowProgram;
  delete inkProgram;
}

GLProgram* GLScene::Build(char const* vertex, char const* fragment, Locations* at) {
  GLProgram* p = new GLProgram();
  p->id = GLProgram::LoadProgram(vertex, fragment);
  *at = Locations();
  if (p->id == 0)
    return p;
  GLuint id = p->id;
  at->aPosition = glGetAttribLocation(id, "a_position");
  at->aTexCoord = glGetAttribLocation(id, "a_texCoord");
  at->aNormal = glGetAttribLocation(id, "a_normal");
  at->aMvp = glGetUniformLocation(id, "a_mvp");
  at->uShift = glGetUniformLocation(id, "u_shift");
  at->sTexture0 = glGetUniformLocation(id, "s_texture0");
  at->sTexture1 = glGetUniformLocation(id, "s_texture1");
  at->uAlpha = glGetUniformLocation(id, "u_alpha");
  at->uLightPos = glGetUniformLocation(id, "u_light_pos");
  at->uKs = glGetUniformLocation(id, "u_ks");
  at->uMinDiffuse = glGetUniformLocation(id, "u_min_diffuse");
  at->uCeilKs = glGetUniformLocation(id, "u_ceil_ks");
  at->uDiffuseColor = glGetUniformLocation(id, "u_diffuse_color");
  at->uMargin = glGetUniformLocation(id, "u_margin");
  at->uRadius = glGetUniformLocation(id, "u_radius");
  return p;
}

bool GLScene::OwnsCurrentContext() const {
  if (glContext == EGL_NO_CONTEXT || eglGetCurrentContext() != glContext)
    return false;
  // A context made after the old one was destroyed may have the same handle; the old
  // program's name is then no program (Init made it, nothing else deletes it).
  GLuint const probe = simpleProgram != nullptr ? simpleProgram->id : 0;
  return probe == 0 || glIsProgram(probe) == GL_TRUE;
}

void GLScene::ForgetContext() {
  for (GLProgram* p : {simpleProgram, litProgram, shadowProgram, inkProgram}) {
    if (p != nullptr)
      p->ForgetContext();
  }
  if (book != nullptr)
    book->ForgetContext();
}

bool GLScene::Init(int width, int height, void (*onAnimationEnd_)()) {
  // The names of a lost context must not be deleted here: the new context may have handed
  // the same numbers out already.
  if (glContext != EGL_NO_CONTEXT && !OwnsCurrentContext())
    ForgetContext();
  glContext = eglGetCurrentContext();
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  glGetString(GL_VERSION);
  glGetIntegerv(GL_FRAMEBUFFER_BINDING, &framebuffer);
  onAnimationEnd = onAnimationEnd_;
  glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(framebuffer));
  delete light;
  light = new CLight();
  light->position[0] = -0.0f;
  light->position[1] = 0.0f;
  light->position[2] = 6.0f;
  light->color[0] = light->color[1] = light->color[2] = 1.0f;
  // A second Init rebuilds the programs; the old ones go.
  delete simpleProgram;
  delete litProgram;
  delete shadowProgram;
  delete inkProgram;
  simpleProgram = Build(kSimpleVertex, kSimpleFragment, &simple);
  litProgram = Build(kLitVertex, kLitFragment, &lit);
  shadowProgram = Build(kShadowVertex, kShadowFragment, &shadow);
  inkProgram = Build(kSimpleVertex, kInkFragment, &ink);
  ready = simpleProgram->id != 0 && litProgram->id != 0 && shadowProgram->id != 0 &&
          inkProgram->id != 0;
  if (!ready)
    __android_log_print(ANDROID_LOG_ERROR, nullptr, "GLScene::Init: shader programs failed");
  view.reset();
  view.LookAt(Vector(0.0f, 0.0f, 0.0f), Vector(0.0f, 0.0f, -1.0f), Vector(0.0f, 1.0f, 0.0f));
  EnableArray(lit.aPosition);
  EnableArray(lit.aTexCoord);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
  glClearDepthf(1.0f);
  glDisable(GL_DEPTH_TEST);
  glDepthFunc(GL_LEQUAL);
  glEnable(GL_CULL_FACE);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  ResetDimension(width, height);
  alpha = 1.0f;
  GLPrintError("GLScene::Init");
  return ready;
}

void GLScene::PlacePages(float z) {
  float const pw = book->width;
  float const ph = book->height;
  float const e = ((screenWidth - bookPixelWidth) * 0.5f) / screenWidth;
  if (!book->dualPage) {
    book->SetPagePosition(-pw * 0.5f - e, -ph * 0.5f, z);
    book->SetCoverPosition((-pw / pixelScale) * 0.5f, (-ph / pixelScale) * 0.5f, z);
  } else {
    book->SetPagePosition(-e, -ph * 0.5f, z);
    book->SetCoverPosition(0.0f, (-ph / pixelScale) * 0.5f, z);
  }
}

void GLScene::ResetDimension(int w, int h, bool dual) {
  // A surface without area has no aspect ratio; the book stays as it was.
  if (w <= 0 || h <= 0)
    return;
  aspect = static_cast<float>(w) / static_cast<float>(h);
  bookHeight = 1.0f;
  if (book != nullptr && w == screenWidth && h == screenHeight && book->dualPage == dual)
    return;
  CVirtualBook* old = book;
  book = nullptr;
  screenWidth = w;
  screenHeight = h;
  offsetX = 0;
  pixelScale = 2.0f / (cameraDistance - 0.12f);
  bookPixelHeight = static_cast<int>(h * pixelScale);
  offsetY = (h - bookPixelHeight) / 2;
  bookPixelWidth = static_cast<int>(w * pixelScale);
  book = new CVirtualBook(aspect, 1.0f, 0.0f, dual);
  // A new size in the same mode keeps the book: its pages, its current page and any drag or
  // animation, so a rotation loses nothing on screen. A new mode starts a new book.
  if (old != nullptr && old->dualPage == dual)
    book->AdoptFrom(old);
  delete old;
  PlacePages(-cameraDistance);
  if (book->zoom != 1.0f)
    ZoomBook(book->zoom);
  projection.SetProjection(static_cast<float>(atan(bookHeight * 0.5) * 180.0 / kPi),
                           static_cast<float>(w) / static_cast<float>(h), 0.9f, 6.0f);
  mvp = projection * view;
  glViewport(0, 0, w, h);
}

void GLScene::ResetDimension(int w, int h) {
  ResetDimension(w, h, book != nullptr && book->dualPage);
}

void GLScene::SetDualPageMode(bool dual) {
  ResetDimension(screenWidth, screenHeight, dual);
}

void GLScene::GetBookHitPosition(int px, int py, float* x, float* y) {
  if (book == nullptr || screenWidth <= 0 || screenHeight <= 0) {
    *x = 0.0f;
    *y = 0.0f;
    return;
  }
  float const pw = book->width;
  float const ph = book->height;
  if (!book->dualPage)
    *x = px * pw / screenWidth;
  else
    *x = px * (2.0f * pw) / screenWidth - pw;
  *y = (screenHeight - py) * ph / screenHeight;
}

void GLScene::CurlBegin(int px, int py, bool reverse) {
  if (book == nullptr)
    return;
  float x;
  float y;
  GetBookHitPosition(px, py, &x, &y);
  book->CurlBegin(x, y, reverse);
}

void GLScene::Curling(int px, int py) {
  if (book == nullptr)
    return;
  float x;
  float y;
  GetBookHitPosition(px, py, &x, &y);
  book->Curling(x, y);
}

void GLScene::CurlEnd(bool flag, long time) {
  if (book != nullptr)
    book->CurlEnd(flag, time);
}

void GLScene::TurnPageAnimation(bool reverse, long time) {
  if (book != nullptr)
    book->TurnPageAnimation(reverse, time);
}

void GLScene::NoteTurnPageAnimation(bool reverse, long time) {
  if (book != nullptr)
    book->NoteTurnPageAnimation(reverse, time);
}

void GLScene::BouncingCurlAnimation(bool reverse, long time) {
  if (book != nullptr)
    book->BouncingCurlAnimation(reverse, time);
}

void GLScene::QuickTipsAnimation(bool reverse, long time) {
  if (book != nullptr)
    book->QuickTipsTurnPageAnimation(reverse, time);
}

void GLScene::SwapPageTexture() {
  if (book != nullptr)
    book->SwapPageTexture();
}

void GLScene::SwapInkTexture() {
  if (book != nullptr)
    book->SwapInkTexture();
}

void GLScene::SetSpecular(float v) {
  if (book != nullptr)
    book->SetSpecular(v);
}

bool GLScene::InitStreamingTextures(int w, int h, void (*callback)(jobject*), JNIEnv* env,
                                    bool withInk) {
  if (book == nullptr)
    return false;
  return book->InitStreamingTextures(w, h, callback, env, withInk);
}

void GLScene::SetPageImage(void* pixels, int index, int w, int h, AndroidBitmapFormat format,
                           bool show) {
  if (book == nullptr)
    return;
  book->LoadPageTexture(pixels, index, w, h, format);
  visible = show;
}

void GLScene::SetBlankImage(void* pixels, int w, int h, AndroidBitmapFormat format) {
  if (book != nullptr)
    book->SetBlankImage(pixels, w, h, format);
}

void GLScene::SetBorderImage(void* pixels, int w, int h, AndroidBitmapFormat format) {
  if (book != nullptr)
    book->SetBorderImage(pixels, w, h, format);
}

void GLScene::SetLeftPageImage(void* pixels, int w, int h, AndroidBitmapFormat format) {
  if (book != nullptr)
    book->SetLeftPageImage(pixels, w, h, format);
}

void GLScene::SetBackgroundImage(void*, int, int, AndroidBitmapFormat) {}

void GLScene::SetQuickFlipImage(void*, int, int, AndroidBitmapFormat, bool) {}

void GLScene::QuickFlip(int, bool, long) {}

void GLScene::ZoomBook(int, int, int, int, float) {}

jobject GLScene::GetQuickFlipImage(bool next) {
  if (book == nullptr)
    return nullptr;
  int i = book->slotIndex[next ? CVirtualBook::kNext : CVirtualBook::kCurrent];
  GLTexture* t = (i >= 0 && i < 4) ? book->textures[i] : nullptr;
  return t != nullptr ? t->GetJavaBitmap() : nullptr;
}

void GLScene::GetTransformedCoordinate(int x, int y, int direction, int* ox, int* oy) {
  // The scale is 1.0 only up to float rounding (2 / (2.12f - 0.12f) is a little above 1), so
  // the results are rounded, not truncated: truncating 7 / 1.0000001 would give 6.
  if (direction == 1 && pixelScale != 0.0f) {
    *ox = static_cast<int>(lround((x - offsetX) / static_cast<double>(pixelScale)));
    *oy = static_cast<int>(lround((y - offsetY) / static_cast<double>(pixelScale)));
  } else if (direction == -1) {
    *ox = offsetX + static_cast<int>(lround(x * static_cast<double>(pixelScale)));
    *oy = static_cast<int>(lround(y * static_cast<double>(pixelScale))) + offsetY;
  } else {
    *ox = x;
    *oy = y;
  }
}

void GLScene::SetVisible(bool v) {
  visible = v;
}

void GLScene::SetPageBackgroundColor(int r, int g, int b, int a) {
  if (book != nullptr)
    book->SetPageBackgroundColor(static_cast<float>(r / 255.0), static_cast<float>(g / 255.0),
                                 static_cast<float>(b / 255.0), static_cast<float>(a / 255.0));
}

void GLScene::SetRightMargin(int px) {
  if (book == nullptr || screenHeight <= 0)
    return;
  int w = book->dualPage ? screenWidth / 2 : screenWidth;
  Vector p(static_cast<float>(w - px) / screenHeight + book->pageShift[0], book->pageShift[1],
           book->pageShift[2]);
  book->margin = (mvp * p).x();
}

void GLScene::ZoomBook(float zoom) {
  // Zero, negative or undefined zoom would put the book at or behind the camera.
  if (book == nullptr || !(zoom > 0.0f) || !isfinite(zoom))
    return;
  float const z = -cameraDistance / zoom;
  float const pw = book->width;
  float const ph = book->height;
  if (!book->dualPage) {
    book->SetPagePosition(-pw * 0.5f, -ph * 0.5f, z);
    book->SetCoverPosition((-pw / pixelScale) * 0.5f, (-ph / pixelScale) * 0.5f, z);
  } else {
    book->SetPagePosition(0.0f, -ph * 0.5f, z);
    book->SetCoverPosition(0.0f, (-ph / pixelScale) * 0.5f, z);
  }
  book->zoom = zoom;
}

void GLScene::ZoomAnimation(float targetZoom, float targetAlpha, long duration) {
  double t = 2.0 * static_cast<double>(duration);
  zooming = true;
  zoomFirstFrame = true;
  zoomRemaining = static_cast<float>(t);
  zoomValue = 1.0f;
  alpha = 1.0f;
  zoomAcceleration = 0.003f;
  alphaAcceleration = 0.005f;
  if (t > 0.0) {
    zoomVelocity = static_cast<float>(((targetZoom - 1.0) + (-0.5 * t * t) * 0.003) / t);
    alphaVelocity = static_cast<float>(((targetAlpha - 1.0) + (-0.5 * t * t) * 0.005) / t);
  } else {
    zoomVelocity = 0.0f;
    alphaVelocity = 0.0f;
  }
}

int GLScene::UpdateZoom(long ms) {
  if (zoomRemaining <= 0.0f) {
    zooming = false;
    alpha = 1.0f;
    ZoomBook(1.0f);
    return 1;
  }
  float step = zoomFirstFrame ? 1.0f : static_cast<float>(ms / 33.0);
  zoomFirstFrame = false;
  if (step > zoomRemaining)
    step = zoomRemaining;
  if (!(step > 0.0f))
    step = 0.0f;
  zoomValue += step * zoomVelocity;
  alpha += step * alphaVelocity;
  zoomVelocity += step * zoomAcceleration;
  alphaVelocity += step * alphaAcceleration;
  zoomRemaining -= step;
  ZoomBook(zoomValue);
  return 0;
}

int GLScene::Update() {
  if (!visible || book == nullptr)
    return 0;
  long ms = book->FrameMilliseconds();
  int z = 0;
  bool zoomed = false;
  if (zooming) {
    z = UpdateZoom(ms);
    zoomed = true;
  }
  int r = book->Update(ms);
  if (zoomed && z >= 1)
    r = z;
  book->RestartFrameTimer();
  return r;
}

void GLScene::Use(GLProgram const* program, Locations const& at) {
  glUseProgram(program->id);
  EnableArray(at.aPosition);
  EnableArray(at.aTexCoord);
  glUniformMatrix4fv(at.aMvp, 1, GL_FALSE, mvp);
  glUniform1i(at.sTexture0, 0);
}

int GLScene::Draw() {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  if (book == nullptr)
    return 0;
  if (!visible || !ready)
    return 1;
  glEnable(GL_DEPTH_TEST);
  Use(simpleProgram, simple);
  glActiveTexture(GL_TEXTURE0);
  glUniform1f(simple.uAlpha, alpha);
  book->DrawBackgroundPages(simple.uShift, simple.aPosition, simple.aTexCoord);
  glFlush();
  book->pages[0]->filter = book->zoom == 1.0f ? GL_NEAREST : GL_LINEAR;
  if (!book->idle) {
    if (book->shadowVisible) {
      Use(shadowProgram, shadow);
      glUniform1f(shadow.uMargin, book->margin);
      glUniform1f(shadow.uRadius, book->turnPage->radius / 0.07f);
      book->DrawShadow(shadow.uShift, shadow.aPosition, shadow.aTexCoord);
      glFlush();
    }
    Use(simpleProgram, simple);
    book->DrawFlatPage(simple.uShift, simple.aPosition, simple.aTexCoord);
    glFlush();
    Use(litProgram, lit);
    EnableArray(lit.aNormal);
    glUniform4fv(lit.uDiffuseColor, 1, light->color);
    glUniform3fv(lit.uLightPos, 1, light->position);
    book->DrawCurlPage(lit.uShift, lit.aPosition, lit.aTexCoord, lit.uAlpha, lit.aNormal, lit.uKs,
                       lit.uMinDiffuse, lit.uCeilKs);
    DisableArray(lit.aNormal);
  } else {
    glDisable(GL_DEPTH_TEST);
    bool const withInk = book->inkEnabled && book->inkTextures[book->inkIndex] != nullptr;
    if (!withInk) {
      Use(simpleProgram, simple);
      glUniform1f(simple.uAlpha, alpha);
      book->Draw2D(simple.uShift, simple.aPosition, simple.aTexCoord, simple.sTexture0, -1);
    } else {
      Use(inkProgram, ink);
      book->Draw2D(ink.uShift, ink.aPosition, ink.aTexCoord, ink.sTexture0, ink.sTexture1);
    }
  }
  glFlush();
  glFinish();
  if (book->idle)
    book->ResetLocks();
  GLPrintError("GLScene::Draw");
  return 1;
}

int GLScene::UpdateAndDraw() {
  long long t0 = NowMicros();
  int r = Update();
  Draw();
  // Kept for profiling; restarts every 30 frames.
  if (++frameCount >= 30) {
    frameCount = 0;
    frameMicros = 0;
  }
  frameMicros += NowMicros() - t0;
  if (r > 0) {
    if (book != nullptr)
      book->ResetLocks();
    // Last: the callback may re-enter the library.
    if (onAnimationEnd != nullptr)
      onAnimationEnd();
  }
  return 0;
}

}  // namespace GL
}  // namespace kestrin
