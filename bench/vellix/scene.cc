// One frame of the scene at 1080 x 1920 (a portrait phone) on the machine's GL driver
// (llvmpipe here) while a page curls under the finger: GLScene::UpdateAndDraw (update, draw,
// glFinish), and CVirtualBook::Update alone (the curl mesh and the shadow, no GL). Baseline:
// the frame budget at 60 frames per second, 16.7 ms. Prints median (and minimum) time per frame
// and heap allocations per frame. Goal for the book's update: 30 us or less, no allocation.
#include <benchmark/benchmark.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "book/gl_scene.h"
#include "frame_timing.h"
#include "headless_egl.h"

namespace {

using kestrin::GL::GLScene;
using vellix_bench::Measure;

int const kWidth = 1080;
int const kHeight = 1920;
double const kBudgetUs = 1e6 / 60.0;

void NoCallback() {}

// A page of paper with lines of ink, as RGBA bytes.
std::vector<unsigned char> Page(unsigned char tint) {
  std::vector<unsigned char> px(static_cast<size_t>(kWidth) * kHeight * 4, 255);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      unsigned char* p = &px[(static_cast<size_t>(y) * kWidth + x) * 4];
      bool ink = y % 40 > 30 && x > 60 && x < kWidth - 60 - (y * 13) % 300;
      p[0] = ink ? 30 : 250;
      p[1] = ink ? 30 : 240;
      p[2] = ink ? 60 : tint;
    }
  }
  return px;
}

struct Fixture {
  vellix_demo::HeadlessEgl gl;
  GLScene scene;
  bool ok = false;
  std::vector<std::pair<int, int>> path;

  Fixture() {
    if (!gl.MakeCurrent(kWidth, kHeight) || !scene.Init(kWidth, kHeight, NoCallback)) {
      fprintf(stderr, "no GL context: %s\n", gl.error().c_str());
      return;
    }
    std::vector<unsigned char> current = Page(220);
    std::vector<unsigned char> next = Page(180);
    scene.SetPageImage(current.data(), 0, kWidth, kHeight, ANDROID_BITMAP_FORMAT_RGBA_8888, true);
    scene.SetPageImage(next.data(), 1, kWidth, kHeight, ANDROID_BITMAP_FORMAT_RGBA_8888, true);
    // The finger from the bottom-right corner over the page and back.
    for (int k = 0; k < 240; ++k) {
      double t = k / 240.0;
      double sweep = 0.5 - 0.5 * cos(2.0 * M_PI * t);
      path.emplace_back(static_cast<int>(kWidth * (0.98 - 1.1 * sweep)),
                        static_cast<int>(kHeight * (0.97 - 0.5 * sin(M_PI * t))));
    }
    scene.CurlBegin(kWidth - 10, kHeight - 20, true);
    // The driver compiles its shader variants in the first frames (llvmpipe: LLVM, thousands
    // of allocations); they are not part of a frame.
    for (size_t k = 0; k < path.size(); k += 12) {
      scene.Curling(path[k].first, path[k].second);
      scene.UpdateAndDraw();
    }
    ok = true;
  }
};

Fixture* g_fixture = nullptr;

void BM_UpdateAndDraw(benchmark::State& state) {
  Fixture& f = *g_fixture;
  size_t k = 0;
  Measure(state, [&] {
    f.scene.Curling(f.path[k].first, f.path[k].second);
    f.scene.UpdateAndDraw();
    k = (k + 1) % f.path.size();
  });
}

void BM_BookUpdate(benchmark::State& state) {
  Fixture& f = *g_fixture;
  size_t k = 0;
  Measure(state, [&] {
    float x;
    float y;
    f.scene.GetBookHitPosition(f.path[k].first, f.path[k].second, &x, &y);
    f.scene.book->Curling(x, y);
    benchmark::DoNotOptimize(f.scene.book->Update(16));
    k = (k + 1) % f.path.size();
  });
}

BENCHMARK(BM_UpdateAndDraw)->Iterations(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BookUpdate)->Iterations(5000);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  Fixture fixture;
  if (!fixture.ok)
    return 1;
  g_fixture = &fixture;
  vellix_bench::FrameReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\nper frame at %dx%d during a curl, median; baseline: the 60 fps frame budget, %.1f ms\n",
         kWidth, kHeight, kBudgetUs / 1000.0);
  for (char const* what : {"BM_UpdateAndDraw", "BM_BookUpdate"}) {
    double us = reporter.Get(what, "median_us");
    double best = reporter.Get(what, "min_us");
    double allocs = reporter.Get(what, "allocs/frame");
    if (us < 0)
      continue;
    bool book = std::string(what) == "BM_BookUpdate";
    printf("%-16s %10.1f us (min %9.1f)  %6.4f of the budget  allocs/frame %.2f%s\n", what + 3, us,
           best, us / kBudgetUs, allocs,
           book && !(us <= 30.0 && allocs == 0.0) ? "  (goal missed: 30 us, 0 allocations)" : "");
  }
  g_fixture = nullptr;
  benchmark::Shutdown();
  return 0;
}
