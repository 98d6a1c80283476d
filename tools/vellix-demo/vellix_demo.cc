// Renders a page turn at 800 x 600 through the natives a Java application calls: a drag from
// the right edge across the page, the release, and the finishing animation until
// animation_end_callback runs. A Java VM runs inside this program (JNI invocation API) with
// the application's classes; frames are read back with glReadPixels and written as numbered
// PNG files and one animated GIF.
//
//   vellix-demo [output folder]     (default: vellix-demo-frames)
#include <jni.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "embedded_jvm.h"
#include "gif_writer.h"
#include "headless_egl.h"
#include "png_image.h"

namespace {

using vellix_demo::EmbeddedJvm;

int const kWidth = 800;
int const kHeight = 600;
// One animation time unit of the renderer; frames are paced to it so the GIF plays at the
// speed of the screen.
auto const kFrameTime = std::chrono::milliseconds(33);

struct Rgb {
  int r, g, b;
};

Rgb Mix(Rgb a, Rgb b, double t) {
  return {static_cast<int>(a.r + (b.r - a.r) * t), static_cast<int>(a.g + (b.g - a.g) * t),
          static_cast<int>(a.b + (b.b - a.b) * t)};
}

// A page of a notebook: paper, a title bar, lines of writing, a figure and a page number.
void PaintPage(uint8_t* px, int w, int h, int number, Rgb paper, Rgb accent, Rgb figureTo) {
  auto put = [&](int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= w || y >= h)
      return;
    uint8_t* p = px + (static_cast<size_t>(y) * w + x) * 4;
    p[0] = static_cast<uint8_t>(c.r);
    p[1] = static_cast<uint8_t>(c.g);
    p[2] = static_cast<uint8_t>(c.b);
    p[3] = 255;
  };
  auto box = [&](int x0, int y0, int x1, int y1, Rgb c) {
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        put(x, y, c);
  };
  Rgb const ink = {40, 44, 60};
  Rgb const rule = Mix(paper, {150, 180, 210}, 0.5);
  box(0, 0, w, h, paper);
  // Ruled lines and a margin line.
  for (int y = 110; y < h - 50; y += 26)
    box(0, y, w, y + 1, rule);
  box(70, 0, 72, h, Mix(paper, {220, 90, 90}, 0.6));
  // Title bar.
  box(90, 34, w - 40, 74, accent);
  box(104, 48, 104 + w / 3, 60, Mix(accent, {255, 255, 255}, 0.75));
  // Writing: words of pseudo-random length on the ruled lines, a figure on the right.
  unsigned seed = 1234u + static_cast<unsigned>(number) * 977u;
  int const figX0 = w * 55 / 100;
  int const figY0 = 160;
  int const figX1 = w - 50;
  int const figY1 = 330;
  for (int y = 110; y < h - 60; y += 26) {
    int x = 90;
    int end = (y > figY0 - 20 && y < figY1 + 10) ? figX0 - 20 : w - 50;
    while (true) {
      seed = seed * 1103515245u + 12345u;
      int len = 18 + static_cast<int>((seed >> 16) % 70);
      if (x + len > end)
        break;
      box(x, y - 12, x + len, y - 5, ink);
      x += len + 10;
    }
  }
  for (int y = figY0; y < figY1; ++y) {
    for (int x = figX0; x < figX1; ++x) {
      double t = static_cast<double>(x - figX0) / (figX1 - figX0);
      double s = static_cast<double>(y - figY0) / (figY1 - figY0);
      Rgb c = Mix(accent, figureTo, 0.5 * (t + s));
      // A sun in the figure.
      double dx = x - (figX0 + 0.7 * (figX1 - figX0));
      double dy = y - (figY0 + 0.35 * (figY1 - figY0));
      if (dx * dx + dy * dy < 26.0 * 26.0)
        c = {250, 220, 90};
      put(x, y, c);
    }
  }
  // Page number: that many dots, bottom right.
  for (int i = 0; i < number; ++i)
    box(w - 60 - i * 16, h - 40, w - 50 - i * 16, h - 30, accent);
}

std::vector<uint8_t> Opaque(std::vector<uint8_t> rgba) {
  for (size_t i = 3; i < rgba.size(); i += 4)
    rgba[i] = 255;
  return rgba;
}

}  // namespace

int main(int argc, char** argv) {
  const char usage[] =
      "usage: vellix-demo [FOLDER]\n"
      "Turns a page at 800x600 through libvellix's natives and writes every frame as\n"
      "FOLDER/frame_NNN.png and the whole turn as FOLDER/vellix-demo.gif (FOLDER defaults to\n"
      "vellix-demo-frames).\n";
  if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    fputs(usage, stdout);
    return 0;
  }
  // An option is never taken for a folder name.
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    fprintf(stderr, "vellix-demo: unknown option \"%s\"\n%s", argv[argc - 1], usage);
    return 2;
  }
  std::string out = argc > 1 ? argv[1] : "vellix-demo-frames";
  mkdir(out.c_str(), 0755);

  vellix_demo::HeadlessEgl gl;
  if (!gl.MakeCurrent(kWidth, kHeight)) {
    fprintf(stderr, "vellix-demo: %s\n", gl.error().c_str());
    return 1;
  }
  EmbeddedJvm jvm;
  if (!jvm.Start(VELLIX_DEMO_CLASSPATH, VELLIX_DEMO_LIBRARY_PATH) ||
      !jvm.CallStatic("com/ordune/notes/vellix/demo/Loader", "load")) {
    fprintf(stderr, "vellix-demo: %s\n", jvm.error().c_str());
    return 1;
  }
  JNIEnv* env = jvm.env();
  jclass lib = jvm.Find("com/ordune/notes/vellix/VellixLib");
  jclass bitmapClass = jvm.Find("android/graphics/Bitmap");
  if (lib == nullptr || bitmapClass == nullptr) {
    fprintf(stderr, "vellix-demo: %s\n", jvm.error().c_str());
    return 1;
  }
  // Every call into Java is checked: an exception ends the demo.
  auto checked = [&] {
    if (!env->ExceptionCheck())
      return true;
    env->ExceptionDescribe();
    env->ExceptionClear();
    fprintf(stderr, "vellix-demo: a Java call failed\n");
    exit(1);
  };
  auto method = [&](char const* name, char const* sig) {
    return env->GetStaticMethodID(lib, name, sig);
  };
  jmethodID init = method("InitializeCurlEngine", "(II)V");
  jmethodID terminate = method("TerminateCurlEngine", "()V");
  jmethodID render = method("RenderAnimationFrame", "()I");
  jmethodID begin = method("CurlBegin", "(IIZ)I");
  jmethodID curling = method("Curling", "(II)I");
  jmethodID end = method("CurlEnd", "(ZJ)I");
  jmethodID setPages = method("SetPageImages", "([Landroid/graphics/Bitmap;I)V");
  jclass loader = jvm.Find("com/ordune/notes/vellix/demo/Loader");
  jfieldID ends = loader != nullptr ? env->GetStaticFieldID(loader, "animationEnds", "I") : nullptr;
  jmethodID create =
      env->GetStaticMethodID(bitmapClass, "create", "(III)Landroid/graphics/Bitmap;");
  jmethodID buffer = env->GetMethodID(bitmapClass, "getBuffer", "()Ljava/nio/ByteBuffer;");
  if (env->ExceptionCheck() || ends == nullptr) {
    env->ExceptionDescribe();
    fprintf(stderr, "vellix-demo: the Java classes lack a native or a field\n");
    return 1;
  }

  // Two pages as the application hands them over: Java bitmaps.
  jobjectArray pages = env->NewObjectArray(3, bitmapClass, nullptr);
  Rgb const papers[2] = {{246, 238, 220}, {228, 238, 246}};
  Rgb const accents[2] = {{32, 110, 120}, {150, 60, 90}};
  Rgb const figures[2] = {{240, 150, 60}, {90, 170, 220}};
  for (int i = 0; i < 2; ++i) {
    jobject b = env->CallStaticObjectMethod(bitmapClass, create, kWidth, kHeight, 1);
    checked();
    jobject buf = env->CallObjectMethod(b, buffer);
    checked();
    PaintPage(static_cast<uint8_t*>(env->GetDirectBufferAddress(buf)), kWidth, kHeight, i + 1,
              papers[i], accents[i], figures[i]);
    env->SetObjectArrayElement(pages, i + 1, b);
  }

  env->CallStaticVoidMethod(lib, init, kWidth, kHeight);
  checked();
  env->CallStaticVoidMethod(lib, setPages, pages, 3);
  checked();

  std::vector<std::vector<uint8_t>> frames;
  int docsFrame = 0;
  auto next = std::chrono::steady_clock::now();
  auto frame = [&] {
    std::this_thread::sleep_until(next);
    next = std::chrono::steady_clock::now() + kFrameTime;
    env->CallStaticIntMethod(lib, render);
    checked();
    frames.push_back(Opaque(gl.Read()));
  };
  for (int i = 0; i < 6; ++i)
    frame();
  // The finger: from the right edge near the bottom, across the page, rising and falling.
  int const dragFrames = 30;
  env->CallStaticIntMethod(lib, begin, kWidth - 8, kHeight - 40, JNI_TRUE);
  checked();
  for (int i = 1; i <= dragFrames; ++i) {
    double t = static_cast<double>(i) / dragFrames;
    double ease = 0.5 - 0.5 * cos(M_PI * t);
    int x = static_cast<int>(kWidth - 8 - ease * (kWidth * 0.78));
    int y = static_cast<int>(kHeight - 40 - sin(M_PI * t * 0.8) * kHeight * 0.45);
    env->CallStaticIntMethod(lib, curling, x, y);
    checked();
    frame();
    if (i == dragFrames * 2 / 3)
      docsFrame = static_cast<int>(frames.size()) - 1;
  }
  env->CallStaticIntMethod(lib, end, JNI_TRUE, static_cast<jlong>(1));
  checked();
  int animationFrames = 0;
  while (env->GetStaticIntField(loader, ends) == 0 && animationFrames < 300) {
    frame();
    ++animationFrames;
  }
  bool ended = env->GetStaticIntField(loader, ends) == 1;
  for (int i = 0; i < 10; ++i)
    frame();
  env->CallStaticVoidMethod(lib, terminate);
  checked();

  vellix_demo::GifWriter gif;
  bool ok = gif.Open(out + "/vellix-demo.gif", kWidth, kHeight);
  for (size_t i = 0; i < frames.size() && ok; ++i) {
    char name[32];
    snprintf(name, sizeof(name), "/frame_%03zu.png", i);
    vellix_demo::PngImage png;
    png.width = kWidth;
    png.height = kHeight;
    png.rgba = frames[i];
    ok = png.Write(out + name, false) && gif.AddFrame(frames[i], 3);
  }
  ok = gif.Close() && ok;
  printf(
      "vellix-demo: %zu frames (%d of the finishing animation%s) in %s/frame_*.png and "
      "%s/vellix-demo.gif; mid-curl frame: frame_%03d.png\n",
      frames.size(), animationFrames, ended ? ", callback once" : ", NO CALLBACK", out.c_str(),
      out.c_str(), docsFrame);
  return ok && ended ? 0 : 1;
}
